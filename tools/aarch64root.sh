#!/usr/bin/env bash
# Prints the path of an arm64 Debian 13 root holding CPython 3.13, obtaining
# it first when this machine does not have it yet:
#
#     tools/aarch64root.sh        the root (build/interp/aarch64)
#
# The root is what `make test-aarch64` needs twice: qemu-user runs the arm64
# interpreter out of it (QEMU_LD_PREFIX), and the cross build takes its
# headers and libraries from it (the CMake sysroot), so that nothing of this
# x86 machine's /usr/include or /usr/lib reaches an arm64 object.
#
# Nothing is installed and nothing runs as arm64 while it is made: apt-get,
# through a private configuration under build/interp/apt-arm64 (its own
# sources, lists, cache and an empty package status, the machine's own apt
# state untouched), downloads Debian 13's arm64 packages, and dpkg-deb -x
# unpacks each into a scratch directory, which is moved into place with a
# .complete marker only when whole.  A later run finds the marker and does
# nothing; downloaded packages stay in the private cache, so a root that is
# removed is unpacked again without fetching.  Progress goes to
# build/interp/aarch64.log; a failure prints one line naming the step.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# AARCH64_ROOT moves the root elsewhere (the tests make throw-away ones).
dest=${AARCH64_ROOT:-$root/build/interp/aarch64}
if [ -x "$dest/usr/bin/python3.13" ] && [ -f "$dest/.complete" ]; then
    echo "$dest"
    exit 0
fi

# The interpreter with everything it loads, the C++ runtime the modules
# link, and libcrypto: with their dependencies.
runtime=(python3.13 libstdc++6 libssl3t64)
# Headers and link-time files only: without their dependencies, which
# would bring a second, newer C library's headers beside the cross
# compiler's own.
headers=(libpython3.13-dev libssl-dev rapidjson-dev)

interp=$(dirname "$dest")
mkdir -p "$interp"
log=$dest.log
: > "$log"
step() {  # step NAME COMMAND...: runs COMMAND, logging; one line on failure
    local name=$1
    shift
    if ! "$@" >> "$log" 2>&1; then
        echo "error: aarch64 root: $name failed (see $log)" >&2
        exit 1
    fi
}

apt=${AARCH64_APT:-$root/build/interp/apt-arm64}
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/log" "$apt/headers" \
    "$apt/preferences.d"
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
    "$mirror trixie main" > "$apt/sources.list"
# An empty status: apt resolves every dependency as for an empty machine,
# and its lock is taken in this directory, not dpkg's.
[ -f "$apt/status" ] || : > "$apt/status"
aptopts=(-o "Dir::Etc::sourcelist=$apt/sources.list" -o "Dir::Etc::sourceparts=-"
         -o "Dir::Etc::preferencesparts=$apt/preferences.d" -o "Dir::State::Lists=$apt/lists"
         -o "Dir::State::status=$apt/status" -o "Dir::State::extended_states=$apt/extended_states"
         -o "Dir::Cache=$apt/cache" -o "Dir::Log=$apt/log"
         -o "APT::Architecture=arm64" -o "APT::Architectures::=arm64"
         -o "APT::Install-Recommends=false" -o "APT::Sandbox::User=root")

fetch() {
    apt-get "${aptopts[@]}" install -y -qq --download-only "${runtime[@]}" \
        && (cd "$apt/headers" && apt-get "${aptopts[@]}" download "${headers[@]}")
}
if ! ls "$apt/lists/"*_Packages* > /dev/null 2>&1 || ! fetch >> "$log" 2>&1; then
    # No lists yet, or lists so old that the mirror has moved on.
    echo "fetching Debian 13 arm64 packages ..." >&2
    step "apt-get update (trixie arm64)" apt-get "${aptopts[@]}" update
    # The cache then holds exactly the packages unpacked below, no older
    # version beside a newer one.
    step "apt-get clean" apt-get "${aptopts[@]}" clean
    rm -f "$apt/headers/"*.deb
    step "apt-get download (trixie arm64)" fetch
fi

work=$(mktemp -d "$interp/.aarch64.XXXXXX")
trap 'rm -rf "$work"' EXIT
for deb in "$apt"/cache/archives/*.deb "$apt"/headers/*.deb; do
    step "unpacking ${deb##*/}" dpkg-deb -x "$deb" "$work"
done
[ -x "$work/usr/bin/python3.13" ] && [ -f "$work/usr/include/python3.13/Python.h" ] \
    || { echo "error: aarch64 root: the packages hold no python3.13 (see $log)" >&2; exit 1; }
# What base-files and the merged /usr of a Debian 13 system provide: the
# interpreter's dynamic loader is /lib/ld-linux-aarch64.so.1.
for d in bin lib sbin; do ln -s "usr/$d" "$work/$d"; done

# The interpreter as a program of this machine: a script that starts it
# under qemu-user in this root, passing its own path as argv[0] so that
# sys.executable names the script.  A process the suite starts from
# sys.executable (the command-line tests, venvs) comes back through it,
# since this machine has no binfmt_misc registration that would run an
# arm64 program by itself.  The standard library is found from there
# (usr/lib/python3.13), as from the binary.
mkdir -p "$work/usr/local/bin"
cat > "$work/usr/local/bin/python3.13" << 'END'
#!/bin/sh
# CPython 3.13 of this arm64 root, under qemu-user (tools/aarch64root.sh).
root=$(cd "$(dirname "$0")/../../.." && pwd)
QEMU_LD_PREFIX=$root exec qemu-aarch64 -0 "$0" "$root/usr/bin/python3.13" "$@"
END
chmod +x "$work/usr/local/bin/python3.13"

# Debian compiles the standard library's bytecode when the packages are
# installed; unpacked, every start of an emulated interpreter would compile
# what it imports again (five seconds for `import ssl`).  A CPython 3.13 of
# this machine writes the same files in seconds where its bytecode is the
# root's (the magic number says so), the emulated one otherwise.
stdlib=$work/usr/lib/python3.13
magic='import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())'
host=${PYTHON:-$(tools/find-python.sh 2> /dev/null || true)}
if [ -n "$host" ] && [ "$("$host" -c "$magic" 2>> "$log")" = \
        "$("$work/usr/local/bin/python3.13" -c "$magic" 2>> "$log")" ]; then
    step "compiling the standard library" "$host" -m compileall -q -j 0 "$stdlib"
else
    step "compiling the standard library (emulated)" \
        "$work/usr/local/bin/python3.13" -m compileall -q -j 1 "$stdlib"
fi
printf '%s\n' "${runtime[@]}" "${headers[@]}" > "$work/.complete"
rm -rf "$dest"
mv "$work" "$dest"
trap - EXIT
echo "$dest"
