#!/usr/bin/env bash
# Install what this machine lacks to build, test and demonstrate the core:
# the Debian packages first, then the venv with the developer tools.
#
#     tools/bootstrap.sh [system|venv|all]        (default: all)
#     tools/bootstrap.sh system PACKAGE...        also these Debian packages
#
# `make` runs it before every build (the system step is one dpkg-query when
# nothing is missing) and .ci/run calls it directly.  Debian packages go
# through apt-get: as root directly, otherwise through `sudo -n` when that
# works without a password; failing both it stops with one line naming the
# exact install command.  PYTHON (a CPython 3.13) and VENV may be set, and
# VENV_GROUPS and PIP_ARGS for the venv step (see venv below).
set -euo pipefail
cd "$(dirname "$0")/.."

step=${1:-all}
[ $# -gt 0 ] && shift
VENV=${VENV:-.venv}

# The packages the build needs on Debian (see CMakeLists.txt for the check a
# plain `pip install .` makes instead).
need=(g++ make rapidjson-dev libssl-dev libfast-float-dev "$@")
PYTHON=${PYTHON:-$(tools/find-python.sh 2>/dev/null || true)}
if [ -z "$PYTHON" ]; then
    # No CPython 3.13 yet: Debian 13 and later carry it.
    if command -v apt-cache > /dev/null && apt-cache show python3.13 > /dev/null 2>&1; then
        need+=(python3.13 python3.13-dev python3.13-venv)
    fi
elif [[ $PYTHON =~ ^/usr/bin/python3\.[0-9]+$ ]]; then
    # A system CPython (3.13 here, 3.14 in the sid root of
    # tools/chroot314.sh) takes its headers and venv module from Debian; a
    # pyenv build carries both.
    need+=("${PYTHON##*/}-dev" "${PYTHON##*/}-venv")
fi

system() {
    command -v dpkg-query > /dev/null || return 0   # not Debian: CMake names what is missing
    local missing=() p
    for p in "${need[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo > /dev/null && sudo -n true 2> /dev/null; then
            sudo=(sudo -n)
        else
            echo "error: missing Debian packages; run: sudo apt-get install -y ${missing[*]}" >&2
            exit 1
        fi
    fi
    echo "installing Debian packages: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
}

venv() {
    if [ -z "$PYTHON" ]; then PYTHON=$(tools/find-python.sh) || exit 1; fi
    # An existing venv is kept (it may be shared between checkouts) when it
    # runs the same interpreter kind (version and ABI, so a free-threaded
    # venv is never taken for a GIL one); only its packages are brought up
    # to date.
    local tag='import sys, sysconfig; print(sys.implementation.cache_tag, sysconfig.get_config_var("Py_GIL_DISABLED"))'
    if [ "$("$VENV/bin/python" -c "$tag" 2> /dev/null)" != "$("$PYTHON" -c "$tag")" ]; then
        rm -rf "$VENV"
        "$PYTHON" -m venv "$VENV"
    fi
    # Dependency groups need pip 25.1 or later.  VENV_GROUPS narrows the
    # groups (the extra interpreters need only build and test); PIP_ARGS
    # adds options such as --only-binary=:all: for an interpreter whose
    # tools have no wheel of their own and would otherwise build from source.
    local groups=() g
    for g in ${VENV_GROUPS:-dev}; do groups+=(--group "$g"); done
    "$VENV/bin/python" -m pip install -q --upgrade 'pip>=25.1'
    # shellcheck disable=SC2086
    "$VENV/bin/python" -m pip install -q ${PIP_ARGS:-} "${groups[@]}"
    touch "$VENV/.ready"
}

case $step in
    system) system ;;
    venv) venv ;;
    all) system; venv ;;
    *) echo "usage: tools/bootstrap.sh [system|venv|all]" >&2; exit 2 ;;
esac
