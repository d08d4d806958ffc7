#!/usr/bin/env bash
# Runs every test on a fresh machine: installs what is missing, builds the
# package and the C++ core tests in one build folder (build/py, kept, so a
# second run rebuilds only what changed), runs the C++ tests under CTest, then
# pytest on the installed package. Into the active Python environment (a
# virtual environment, for instance).
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
# The network serial tests bridge the emulator with a real ser2net.
$cpp_only || [[ -x /usr/sbin/ser2net ]] || command -v ser2net >/dev/null ||
    need_packages+=(ser2net)
# The queue server tests run bluesky's manager against a local Redis.
$cpp_only || [[ -x /usr/bin/redis-server ]] || command -v redis-server >/dev/null ||
    need_packages+=(redis-server)
# The page's tests drive Debian's chromium through Playwright, which is
# pointed at it and never downloads a browser of its own.
$cpp_only || [[ -x /usr/bin/chromium ]] || need_packages+=(chromium)
if ((${#need_packages[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_packages[@]}"
fi

if $cpp_only || [[ -n "$sanitize" ]]; then
    build_dir="build/ctest${sanitize:+-$sanitize}"
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DORVAK_BUILD_PYTHON=OFF -DORVAK_BUILD_TESTS=ON -DORVAK_SANITIZE="$sanitize" >/dev/null
    cmake --build "$build_dir" -j 2
    (cd "$build_dir" && ctest --output-on-failure --timeout 300)
    $cpp_only && exit 0
fi

# The package's build requirements go into this interpreter's environment, so
# that the build below can run in it: without build isolation the build
# folder keeps the same pybind11, and a second run only rebuilds what changed.
python3 - <<'PY' | xargs python3 -m pip install -q
try:
    import tomllib
except ImportError:  # Python 3.10
    from pip._vendor import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(f"'{r}'" for r in tomllib.load(f)["build-system"]["requires"]))
PY
# One build of the core for the C++ tests and the package: the tests are built
# in the package's build folder (the one of the development install).
tests_define=ON
[[ -n "$sanitize" ]] && tests_define=OFF   # they ran above, under the sanitizer
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
    python3 -m pip install -q --no-build-isolation -Cbuild-dir=build/py \
    -Ccmake.define.ORVAK_BUILD_TESTS="$tests_define" ".[test]"
if [[ -z "$sanitize" ]]; then
    (cd build/py && ctest --output-on-failure --timeout 300)
fi
# Run from outside the source tree so the installed package is imported.
(cd tests && python3 -m pytest -q -p no:cacheprovider .)
