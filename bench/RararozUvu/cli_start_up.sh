#!/usr/bin/env bash
# Fresh-process time of the command-line tool: its start alone (--help: the dynamic loader and the
# shared libraries) and a short clip transcribed (start, model load, transcription), for each
# binary given, runs interleaved so that a busy machine weighs on all alike. Prints the shared
# libraries each binary loads at start and the best and median wall time of the runs.
#
#   bench/RararozUvu/cli_start_up.sh MODEL_DIR RUNS CLI...
set -euo pipefail

model=${1:?usage: cli_start_up.sh MODEL_DIR RUNS CLI...}
runs=${2:?usage: cli_start_up.sh MODEL_DIR RUNS CLI...}
shift 2
clis=("$@")
here=$(cd "$(dirname "$0")" && pwd)
shared=${QUILLORA_SHARED_DIR:-$here/../../../shared}
clip=$shared/data/audio-synth/sample_008.wav
times=$(mktemp -d)
trap 'rm -rf "$times"' EXIT

# Wall and processor (user + system) milliseconds of one run; the processor time is the steadier
# figure on a busy machine. The wall time is read from the shell's clock, to the millisecond (the
# time tool's own figure is in hundredths of a second).
milliseconds() {
    local start=$EPOCHREALTIME
    /usr/bin/time -f '%U %S' -o "$times/one" "$@" > /dev/null 2>&1 || true
    local end=$EPOCHREALTIME
    awk -v start="$start" -v end="$end" '{printf "%d %d\n", (end - start) * 1000, ($1 + $2) * 1000}' \
        "$times/one"
}

for ((run = 0; run < runs; ++run)); do
    for i in "${!clis[@]}"; do
        cli=${clis[$i]}
        milliseconds "$cli" --help >> "$times/help-$i"
        milliseconds "$cli" --model-path "$model" --fallback-count 0 "$clip" >> "$times/clip-$i"
    done
done

summary() {
    sort -n "$1" | awk '{v[NR] = $1} END {printf "wall best %5d median %5d ms", v[1], v[int((NR + 1) / 2)]}'
    sort -n -k2 "$1" | awk '{v[NR] = $2} END {printf "   cpu best %5d median %5d ms", v[1], v[int((NR + 1) / 2)]}'
}
for i in "${!clis[@]}"; do
    cli=${clis[$i]}
    echo "$cli: $(ldd "$cli" | wc -l) shared libraries at start"
    echo "  start only (--help)    $(summary "$times/help-$i")"
    echo "  1.6 s clip, fresh      $(summary "$times/clip-$i")"
done
