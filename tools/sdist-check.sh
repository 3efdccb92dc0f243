#!/usr/bin/env bash
# The core's sdist as a user gets it: `pip install SDIST` into a fresh venv
# of PYTHON, with pip's own build isolation (scikit-build-core, CMake and
# Ninja from the package index, the system compiler and the Debian packages
# of the README), away from the source tree; then the stand-in from the
# unpacked sdist beside it, the README's and the command line's tests run
# from the unpacked sdist against that copy, and the demo once.  Shows that
# the sdist holds everything a build and the README's commands need.
#
#     tools/sdist-check.sh PYTHON SDIST
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: tools/sdist-check.sh PYTHON SDIST" >&2; exit 2; }
python=$1
sdist=$(realpath "$2")

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tar -xzf "$sdist" -C "$tmp"
src=$(ls -d "$tmp"/kelvane_layer_core-*)
"$python" -m venv "$tmp/venv"
py=$tmp/venv/bin/python
# Dependency groups (read from the unpacked pyproject.toml) need pip 25.1.
"$py" -m pip install -q --disable-pip-version-check --upgrade 'pip>=25.1'
"$py" -m pip install -q --disable-pip-version-check "$sdist" "$src/standin" \
    --group "$src/pyproject.toml:test"
cd "$tmp"
KL_TEST_INSTALLED=1 "$py" -m pytest -p no:cacheprovider "$src/tests/test_readme.py" \
    "$src/tests/test_cli.py" "$src/tests/test_install.py::test_suite_runs_against_the_installed_copy"
"$py" -m kelvane_layer demo > /dev/null
