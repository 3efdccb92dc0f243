#!/usr/bin/env bash
# A built core wheel as a user gets it: installed with the stand-in wheel
# into a fresh venv of PYTHON, away from the source tree; the whole suite
# runs against that copy (KL_TEST_INSTALLED makes it check that it does, and
# the install tests take the wheel from KL_WHEEL), then the command line
# starts once.  PIP_ARG... go to the install (--only-binary=:all: for an
# interpreter whose tools must not be built from source).
#
#     tools/wheel-check.sh PYTHON CORE_WHEEL STANDIN_WHEEL [PIP_ARG...]
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: tools/wheel-check.sh PYTHON CORE_WHEEL STANDIN_WHEEL [PIP_ARG...]" >&2; exit 2; }
python=$1
core=$(realpath "$2")
standin=$(realpath "$3")
shift 3
cd "$(dirname "$0")/.."
repo=$PWD

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$python" -m venv "$tmp/venv"
py=$tmp/venv/bin/python
# Dependency groups (read from this checkout's pyproject.toml) need pip 25.1.
"$py" -m pip install -q --disable-pip-version-check --upgrade 'pip>=25.1'
"$py" -m pip install -q --disable-pip-version-check "$@" "$core" "$standin" \
    --group test --group lint
cd "$tmp"
KL_TEST_INSTALLED=1 KL_WHEEL="$core" "$py" -m pytest "$repo/tests" -p no:cacheprovider
"$py" -m kelvane_layer profiles > /dev/null
