#!/usr/bin/env bash
# CPython 3.14 for the suite and the cp314 wheel: Debian's python3.14
# packages in a Debian sid root kept under build/interp/py314.
#
#     tools/chroot314.sh create        make the root, unless it is there and whole
#     tools/chroot314.sh run CMD...    CMD inside it (made first when missing)
#
# The root is made with debootstrap in a scratch directory beside it and
# moved into place only when whole (its /.complete marks that, listing the
# packages it was made with), so a failed or interrupted run never leaves a
# root a later run would trust.  Progress goes to build/interp/py314.log; a
# failure prints one line naming the step.
#
# `run` binds this checkout at its own path inside the root and starts CMD in
# the directory it was called from, so build trees and venvs have the same
# paths inside and out.  /proc, /dev, /dev/shm, /tmp and the machine's
# resolver, hosts and CA files are mounted for CMD's duration only: in a
# private mount namespace where the machine allows one (the mounts die with
# it), and unmounted by a trap in any case.  CMD sees a clean environment:
# the host's PATH, pip configuration and venv mean nothing in the root.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."
root=$PWD
self=$root/tools/chroot314.sh

# PY314_ROOT moves the root elsewhere (the tests make throw-away ones).
dest=${PY314_ROOT:-$root/build/interp/py314}
interp=$(dirname "$dest")
name=$(basename "$dest")
log=$dest.log
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
# The interpreter with its headers and venv module, what the build needs
# (cmake and ninja come from PyPI into the venv), and the CA list for pip.
# sid's static libcrypto needs zstd, whose static archive is libzstd-dev's;
# pkgconf tells the build so.  ccache, for a CMAKE_ARGS that names it as the
# compiler launcher (as CI's does where the machine has it).
packages=(python3.14 python3.14-dev python3.14-venv g++ make rapidjson-dev libssl-dev
          pkgconf libzstd-dev ccache ca-certificates)

fail() {
    echo "error: py314 chroot: $*" >&2
    exit 1
}

step() {  # step WHAT COMMAND...: runs COMMAND, logging; one line on failure
    local what=$1
    shift
    "$@" >> "$log" 2>&1 || fail "$what failed (see ${log#"$root"/})"
}

# enter DIR CMD...: CMD chrooted into DIR with the mounts above.
# setup DIR CMD...: the same while the root is made.
setup() {
    CHROOT314_SETUP=1 enter "$@"
}

enter() {
    if unshare --mount --propagation private true 2> /dev/null; then
        unshare --mount --propagation private "$self" _enter "$here" "$@"
    else
        "$self" _enter "$here" "$@"
    fi
}

_enter() {  # _enter CWD DIR CMD...
    local cwd=$root dir=$2
    case "$1/" in "$root"/*) cwd=$1 ;; esac
    shift 2
    # Global, for the EXIT trap: it runs after this function has returned.
    mounted=()
    # Innermost first; a busy one is detached lazily rather than left.
    release() {
        local i
        for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
            umount "${mounted[i]}" 2> /dev/null || umount -l "${mounted[i]}"
        done
        mounted=()
    }
    trap release EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mnt() {  # mnt TARGET MOUNT-ARGS...
        local target=$1
        shift
        mount "$@" "$target"
        mounted+=("$target")
    }
    # The root a mount point of its own, so that a command inside can take
    # a mount namespace of its own too (unshare -m changes the propagation
    # of "/", which must be a mount for that).
    mnt "$dir" --bind "$dir"
    mnt "$dir/proc" -t proc proc
    mnt "$dir/dev" --bind /dev
    mnt "$dir/dev/pts" --bind /dev/pts
    mnt "$dir/dev/shm" -t tmpfs tmpfs
    mnt "$dir/tmp" -t tmpfs -o mode=1777 tmpfs
    mkdir -p "$dir$root"
    mnt "$dir$root" --bind "$root"
    # The machine's view of the network: its resolver, its names and the CA
    # list it trusts (which may hold a local CA that sid's list lacks).
    # While the root is made the CA list is its own: ca-certificates
    # rewrites it when installed.
    local f files=(/etc/resolv.conf /etc/hosts)
    [ -n "${CHROOT314_SETUP:-}" ] || files+=(/etc/ssl/certs/ca-certificates.crt)
    for f in "${files[@]}"; do
        [ -f "$f" ] || continue
        if [ -L "$dir$f" ] || [ ! -f "$dir$f" ]; then
            rm -f "$dir$f"
            mkdir -p "$(dirname "$dir$f")"
            : > "$dir$f"
        fi
        mnt "$dir$f" --bind "$f"
    done

    local env=(HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive
               PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    local v
    for v in TERM CI JOBS CMAKE_ARGS CMAKE_BUILD_PARALLEL_LEVEL PYTEST_ADDOPTS \
             HYPOTHESIS_PROFILE SSL_CERT_FILE REQUESTS_CA_BUNDLE PIP_CERT PIP_DEFAULT_TIMEOUT \
             http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY \
             $(compgen -v KL_ || true) $(compgen -v CCACHE_ || true); do
        [ -n "${!v+x}" ] && env+=("$v=${!v}")
    done
    local rc=0
    chroot "$dir" /usr/bin/env -i "${env[@]}" /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@" \
        || rc=$?
    release
    return $rc
}

# discard DIR: removes a scratch root, never one with something still
# mounted inside (rm would follow into the machine's /dev or the checkout).
discard() {
    [ -d "$1" ] || return 0
    if findmnt -rn -o TARGET | grep -qF "$1"; then
        echo "error: py314 chroot: $1 still has mounts; not removed" >&2
        return 1
    fi
    rm -rf "$1"
}

# The marker holds the package list the root was made with.
current() {
    [ "$(cat "$dest/.complete" 2> /dev/null)" = "${packages[*]}" ]
}

create() {
    current && return 0
    mkdir -p "$interp"
    # One maker at a time: a second waits and then finds the root whole.
    exec 9> "$interp/.$name.lock"
    flock 9
    if [ -f "$dest/.complete" ]; then
        current || add_packages
        exec 9>&-
        return 0
    fi
    tools/bootstrap.sh system debootstrap >&2
    : > "$log"
    work=$(mktemp -d "$interp/.$name.XXXXXX")
    chmod 755 "$work"
    trap 'discard "$work"' EXIT
    echo "making the Debian sid root for CPython 3.14 in ${dest#"$root"/} ..." >&2
    # debootstrap mounts /proc and /sys inside the target itself; in a
    # private namespace those can never outlive it.
    if unshare --mount --propagation private true 2> /dev/null; then
        step "debootstrap sid" unshare --mount --propagation private \
            debootstrap --variant=minbase sid "$work" "$mirror"
    else
        step "debootstrap sid" debootstrap --variant=minbase sid "$work" "$mirror"
    fi
    # sid's Release file may be past its Valid-Until date on a mirror or a
    # snapshot; its signature is still checked.
    echo 'Acquire::Check-Valid-Until "false";' > "$work/etc/apt/apt.conf.d/99kl-valid-until"
    step "apt-get update (sid)" setup "$work" apt-get update
    step "apt-get install ${packages[*]}" setup "$work" \
        apt-get install -y --no-install-recommends "${packages[@]}"
    step "apt-get clean" setup "$work" apt-get clean
    step "the python3.14 check" setup "$work" /usr/bin/python3.14 -c \
        'import sys, ensurepip, venv, ssl; assert sys.version_info[:2] == (3, 14), sys.version'
    echo "${packages[*]}" > "$work/.complete"
    discard "$dest" || exit 1
    mv -T "$work" "$dest"
    trap - EXIT
    exec 9>&-
    echo "CPython 3.14 ready in ${dest#"$root"/}" >&2
}

# A root made before a package joined the list gets it on its next use.
# Should that fail, the root loses its marker, and the next use makes a new
# one rather than trust a half-installed system.
add_packages() {
    : > "$log"
    trap 'rm -f "$dest/.complete"' EXIT
    echo "adding packages to ${dest#"$root"/} ..." >&2
    step "apt-get update (sid)" setup "$dest" apt-get update
    step "apt-get install ${packages[*]}" setup "$dest" \
        apt-get install -y --no-install-recommends "${packages[@]}"
    step "apt-get clean" setup "$dest" apt-get clean
    echo "${packages[*]}" > "$dest/.complete"
    trap - EXIT
}

case ${1:-} in
    create) create ;;
    run)
        shift
        [ $# -gt 0 ] || { echo "usage: tools/chroot314.sh run CMD..." >&2; exit 2; }
        create
        enter "$dest" "$@"
        ;;
    _enter) shift; _enter "$@" ;;
    *) echo "usage: tools/chroot314.sh create | run CMD..." >&2; exit 2 ;;
esac
