#!/usr/bin/env bash
# Builds the core, its C++ tests and the extension modules once with
# AddressSanitizer (and UndefinedBehaviorSanitizer), in a build directory and
# a virtual environment of their own, and runs the C++ tests, then the Python
# tests of lifetimes, shutdown, exits and concurrency against those modules.
# The virtual environment gets only what those tests import. The sanitizer
# runtime is preloaded into the interpreter, which is not built with it, and
# so is the C++ runtime: the interpreter does not link it, and ASan can only
# intercept exceptions thrown through a runtime loaded before it starts.
# CPython keeps memory until exit by design, so leaks are not reported.
#   scripts/asan.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

venv=build/asan-venv
[[ -x "$venv/bin/python" ]] || python3 -m venv --system-site-packages "$venv"
python="$PWD/$venv/bin/python"
"$python" -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.1,<3.2" "pytest>=7"
"$python" -m pip install -q --no-build-isolation -Cbuild-dir=build/py-asan \
    -Ccmake.define.ORVAK_SANITIZE=address -Ccmake.define.ORVAK_BUILD_TESTS=ON .
(cd build/py-asan && ctest --output-on-failure --timeout 300)

suppressions="$PWD/scripts/ubsan.supp"
# The runtimes the modules were linked with, as the loader would find them.
# (From the tests folder, so the installed package is imported, not the source.)
cd tests
core=$("$python" -c 'import pathlib, orvaklab; print(next(pathlib.Path(orvaklab.__file__).parent.glob("liborvakcore*")))')
libasan=$(ldd "$core" | awk '/libasan/ {print $3}')
libstdcxx=$(ldd "$core" | awk '/libstdc\+\+/ {print $3}')
[[ -n "$libasan" ]] || { echo "$core is not built with AddressSanitizer" >&2; exit 1; }

tests=(test_lifetime.py test_shutdown.py test_exit.py)
[[ -f test_concurrency.py ]] && tests+=(test_concurrency.py)
LD_PRELOAD="$libasan $libstdcxx" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$suppressions:${UBSAN_OPTIONS:-}" \
    "$python" -m pytest -q -p no:cacheprovider "${tests[@]}" "$@"
