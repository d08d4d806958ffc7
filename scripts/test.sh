#!/usr/bin/env bash
# Runs every test on a fresh machine: installs what is missing, builds and
# runs the C++ core tests under CTest, installs the package and runs pytest.
#   scripts/test.sh            # C++ tests, then pytest
#   ORVAK_SANITIZE=thread scripts/test.sh --cpp-only   # C++ tests under a sanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

cpp_only=false
[[ "${1:-}" == "--cpp-only" ]] && cpp_only=true
sanitize="${ORVAK_SANITIZE:-}"

need_packages=()
[[ -f /usr/include/gtest/gtest.h ]] || need_packages+=(libgtest-dev)
command -v ninja >/dev/null || need_packages+=(ninja-build)
command -v cmake >/dev/null || need_packages+=(cmake)
if ((${#need_packages[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_packages[@]}"
fi

build_dir="build/ctest${sanitize:+-$sanitize}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVAK_BUILD_PYTHON=OFF -DORVAK_BUILD_TESTS=ON -DORVAK_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir" -j 2
(cd "$build_dir" && ctest --output-on-failure --timeout 300)

$cpp_only && exit 0

python3 -m pip install -q ".[test]"
# Run from outside the source tree so the installed package is imported.
(cd tests && python3 -m pytest -q -p no:cacheprovider .)
