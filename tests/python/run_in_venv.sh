#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment, as a
# Python developer would, and runs the Python tests with that environment's
# interpreter: `import qzws` finds the installed copy, not the build tree.
# The venv sees the system's packages for pytest, pyftpdlib and the build
# tools (setuptools, wheel: no package index here); pip builds the module
# in the given CMake build folder, which the build has brought up to date.
#   run_in_venv.sh PYTHON SOURCE_DIR BUILD_DIR [PYTEST_ARGS...]
set -euo pipefail
python=$1; source=$2; build=$3; shift 3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$python" -m venv --system-site-packages "$scratch/venv"
QZWS_BUILD_DIR=$build "$scratch/venv/bin/pip" install --quiet --no-build-isolation --no-deps --no-index \
    "$source" >"$scratch/pip.log" 2>&1 || { cat "$scratch/pip.log"; exit 1; }
cd "$scratch"
unset PYTHONPATH
exec "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider "$@" "$source/tests/python"
