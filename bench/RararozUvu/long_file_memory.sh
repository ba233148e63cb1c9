#!/usr/bin/env bash
# Peak resident memory of the command-line tool on a 1-minute and a 2-hour file, which should be
# close together when files are streamed. The files are made here with sox from a shared clip and
# quiet noise (44.1 kHz stereo FLAC, so decoding and resampling both run): every 5 minutes the clip
# is followed by noise, which the model skips quickly, so a 2-hour run stays short.
#
#   bench/RararozUvu/long_file_memory.sh CLI MODEL_DIR [SCRATCH_DIR]
#
# CLI is a quillora-cli binary, MODEL_DIR a converted model folder (quillora-cli convert). Prints
# one line per file: peak RSS, wall time, and the transcript's checksum (the transcripts are kept
# in SCRATCH_DIR to compare builds).
set -euo pipefail

cli=${1:?usage: long_file_memory.sh CLI MODEL_DIR [SCRATCH_DIR]}
# Transcripts of different builds are kept apart by the folder the binary is in.
label=$(basename "$(dirname "$(realpath "$cli")")")
model=${2:?usage: long_file_memory.sh CLI MODEL_DIR [SCRATCH_DIR]}
scratch=${3:-$(mktemp -d)}
here=$(cd "$(dirname "$0")" && pwd)
shared=${QUILLORA_SHARED_DIR:-$here/../../../shared}
clip=$shared/data/audio/jfk_ask-not_44k1_stereo.wav

mkdir -p "$scratch"
unit=$scratch/unit-5min.flac
if [[ ! -f $scratch/long-2h.flac ]]; then
    sox -n -r 44100 -c 2 "$scratch/noise.wav" synth 289 whitenoise vol 0.002
    sox "$clip" "$scratch/noise.wav" "$unit"
    sox "$unit" "$scratch/short-1min.flac" trim 0 60
    sox "$unit" "$scratch/long-2h.flac" repeat 23
    rm -f "$scratch/noise.wav"
fi

for name in short-1min long-2h; do
    file=$scratch/$name.flac
    out=$scratch/$name.$label.txt
    /usr/bin/time -v -o "$scratch/time.txt" \
        "$cli" --model-path "$model" --fallback-count 0 "$file" > "$out"
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$scratch/time.txt")
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$scratch/time.txt")
    printf '%-10s audio %8.1f s  peak RSS %7.1f MB  wall %s  text %s\n' "$name" \
        "$(soxi -D "$file")" "$(echo "$rss / 1024" | bc -l)" "$wall" \
        "$(md5sum < "$out" | cut -c1-12)"
done
