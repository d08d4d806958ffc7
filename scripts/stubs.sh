#!/usr/bin/env bash
# The type stubs of the extension modules (orvaklab/*.pyi,
# orvaklab/instruments/*.pyi), generated with pybind11-stubgen from the
# installed package, so install it first (scripts/test.sh does).
#   scripts/stubs.sh           # regenerate the committed stubs
#   scripts/stubs.sh --check   # fail when they differ from the built modules
# PYTHON names the interpreter whose installed orvaklab is read (python3).
set -euo pipefail
cd "$(dirname "$0")/.."

python="${PYTHON:-python3}"
# The stubs are compared as text, so every machine uses the same generator.
stubgen_version=3.0.0
if [[ "$("$python" -c 'import importlib.metadata as m; print(m.version("pybind11-stubgen"))' \
        2>/dev/null)" != "$stubgen_version" ]]; then
    "$python" -m pip install -q "pybind11-stubgen==$stubgen_version"
fi
# From outside the source tree, so that `orvaklab` is the installed package.
exec "$python" scripts/stubs.py "$@"
