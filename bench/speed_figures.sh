#!/usr/bin/env bash
# Every speed and memory figure we track, in one run on this machine, beside the machine's own
# SGEMM and memory-bandwidth figures (so that runs on different machines, or at different loads,
# can be read side by side). Builds nothing: run it on a release build with the benchmarks on
# (scripts/test builds one in build/).
#
#   bench/speed_figures.sh [BUILD_DIR] [SCRATCH_DIR]
#
# What each line measures, and the figure it is read against:
#   machine       SGEMM GFLOP/s (all threads, and one core's tile), memory read GB/s
#   model load    tiny fresh process ≤ 100 ms; base and small model files ≤ 0.5 × one read
#   peak memory   26 clips in one process ≤ weights + 100 MB (tiny, base)
#   long files    a 2-hour file within 50 MB of a 1-minute one
#   token cost    a token inside the decoding loop (ms_per_token) ≤ 1.3 × a bare decoder step
#   warm path     5 s clip from samples to text ≤ 150 ms
#   cold runs     command-line run on a short clip, from a fresh process
#   renders       chat templates, ≤ 20 µs each
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-$here/../build}")
scratch=${2:-$(mktemp -d)}
export QUILLORA_SHARED_DIR=${QUILLORA_SHARED_DIR:-$(realpath "$here/../../shared")}
mkdir -p "$scratch"

for program in bench/VevidoCore/bench_whisper_kernels bench/RararozUvu/bench_model_files \
    bench/RararozUvu/bench_decoding bench/RararozUvu/bench_pipeline bench/Templates/bench_render \
    tools/quillora-cli tools/quillora-convert; do
    if [[ ! -x $build/$program ]]; then
        echo "missing $build/$program: build with benchmarks first (scripts/test)" >&2
        exit 1
    fi
done

section() { printf '\n== %s (load average %s)\n' "$1" "$(cut -d' ' -f1-3 /proc/loadavg)"; }
bench() {
    "$build/$1" --benchmark_filter="$2" --benchmark_counters_tabular=true "${@:3}" 2>/dev/null
}

echo "machine: $(nproc) hardware threads, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-)"
echo "OPENBLAS_CORETYPE=${OPENBLAS_CORETYPE:-(unset)}"

section "machine: SGEMM and memory bandwidth"
bench bench/VevidoCore/bench_whisper_kernels 'BM_Sgemm|BM_ReadDecoderWeights/2'
if [[ -n ${OPENBLAS_CORETYPE:-} ]]; then
    # The environment forces OpenBLAS's kernels: the same SGEMM and encoder with its own choice.
    section "machine: SGEMM and tiny encoder with OPENBLAS_CORETYPE unset"
    env -u OPENBLAS_CORETYPE "$build/bench/VevidoCore/bench_whisper_kernels" \
        --benchmark_filter='BM_Sgemm/0|BM_SgemmTile/384|BM_Encoder/0' \
        --benchmark_counters_tabular=true 2>/dev/null
fi

section "model stages: encoder window and bare decoder step"
bench bench/VevidoCore/bench_whisper_kernels 'BM_Encoder/0|BM_DecoderStep/0/'

section "token cost: 100 tokens of one window, per token, beside the decoder step alone"
bench bench/RararozUvu/bench_decoding 'BM_DecodeWindow|BM_DecoderModelStep'

section "model load (fresh process) and peak memory over every shared clip"
bench bench/RararozUvu/bench_model_files 'BM_LoadFreshProcess|BM_PeakMemoryTranscribing'

section "warm path: 5 s clip, samples in memory to text"
bench bench/RararozUvu/bench_pipeline 'TranscribeSpeech' --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true

# Converted again whenever the converter is newer: how a file is laid out on disk shapes how its
# pages are first touched in a fresh process.
model=$scratch/tiny-en-synth
if [[ ! -d $model/TextDecoder.mlmodelc || $build/tools/quillora-convert -nt $model/TextDecoder.mlmodelc ]]; then
    rm -rf "$model"
    "$build/tools/quillora-convert" "$QUILLORA_SHARED_DIR/models/tiny-en-synth" "$model" >/dev/null
fi

section "cold command-line runs"
bash "$here/RararozUvu/cli_start_up.sh" "$model" 10 "$build/tools/quillora-cli"

section "long files: peak memory of a 1-minute and a 2-hour file"
bash "$here/RararozUvu/long_file_memory.sh" "$build/tools/quillora-cli" "$model" "$scratch/long"

section "template renders (one thread, kept on the last core)"
# A render takes microseconds: a move to another core in the middle of one costs more than the
# render, so the single-threaded benchmark stays on one core.
pin=()
if command -v taskset >/dev/null; then
    pin=(taskset -c "$(($(nproc) - 1))")
fi
"${pin[@]}" "$build/bench/Templates/bench_render" --benchmark_filter='BM_Render' \
    --benchmark_counters_tabular=true --benchmark_repetitions=10 \
    --benchmark_report_aggregates_only=true 2>/dev/null
