#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time on its corpus
# in cpp/fuzz/corpus/<target>. Any crash or violated property fails.
#   scripts/fuzz.sh                 # about 20 s per target
#   ORVAK_FUZZ_SECONDS=120 scripts/fuzz.sh
# New inputs a run finds go to a scratch folder, not into the repository;
# copy one into the corpus to keep it (a fixed failure is kept that way).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${ORVAK_FUZZ_SECONDS:-20}"

fuzzer_runtime() {
    local resource_dir
    resource_dir="$(clang++ -print-resource-dir 2>/dev/null)" || return 1
    compgen -G "$resource_dir/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null
}

need_packages=()
command -v clang++ >/dev/null || need_packages+=(clang)
command -v clang++ >/dev/null && fuzzer_runtime || need_packages+=(libclang-rt-dev)
command -v ninja >/dev/null || need_packages+=(ninja-build)
command -v cmake >/dev/null || need_packages+=(cmake)
if ((${#need_packages[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_packages[@]}"
fi

build_dir=build/fuzz
cmake -S cpp/fuzz -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j 2

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for target in line_assembly reply_grammar reply_numbers wire_recording; do
    echo "fuzz_$target: ${seconds} s"
    mkdir -p "$scratch/$target"
    # A crashing input lands in build/fuzz, named after its target.
    if ! "$build_dir/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build_dir/$target-" \
        "$scratch/$target" "cpp/fuzz/corpus/$target" >"$scratch/$target.log" 2>&1; then
        tail -n 60 "$scratch/$target.log"
        echo "fuzz_$target FAILED"
        exit 1
    fi
    grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$scratch/$target.log" || true
done
echo "fuzzing passed"
