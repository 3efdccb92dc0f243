#!/usr/bin/env bash
# libcrypto for the shipped wheels: Debian's openssl source package, built
# with the zig compilers of tools/zig-toolchain.sh for glibc 2.17, static,
# with only what the core calls (SHA-256 through EVP_MD_fetch and the
# default provider).  Debian's own libcrypto.a is compiled against this
# machine's glibc and may reference symbols older ones lack.
#
#     tools/libcrypto.sh TOOLCHAIN-DIR     prints the prefix (include/, lib/)
#
# PYTHON (default python3; 3.11.4 or later) runs tools/debian_fetch.py.
# The result is kept in build/deps/openssl-VERSION-glibc2.17 and reused by
# every later run and every leg (the 3.14 root sees this checkout at the same
# path); its .complete marker holds the source and the options it was built
# with, so a change of either builds it again.  The build goes to a scratch
# directory first and is moved into place only when whole.  Progress goes to
# build/deps/openssl.log; a failure prints one line naming the step.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: tools/libcrypto.sh TOOLCHAIN-DIR" >&2; exit 2; }
cd "$(dirname "$0")/.."
root=$PWD
tc=$(cd "$1" && pwd)
deps=$root/build/deps
log=$deps/openssl.log
# bookworm: the release of the machines CI runs on, so the shipped SHA-256
# code is the same OpenSSL 3.0 (with Debian's fixes) as the developer build's.
suite=bookworm

# Everything but the digest code, the default provider and what they need is
# left out: no TLS, no public-key algorithms, no ciphers beyond the library's
# own AES, no engines, no loadable modules, no configuration file read at
# initialisation (the library must not look at OPENSSL_CONF or the file
# system), no error strings, no tests (and only the library is made).  Assembler stays on: the
# SHA-256 code with SHA extensions or AVX2 is most of the hashing speed.
options=(no-shared no-module no-dso no-engine no-deprecated no-legacy no-autoload-config
         no-tests no-err no-filenames no-ui-console no-sock no-ssl no-tls no-dtls
         no-srp no-srtp no-psk no-ocsp no-cmp no-cms no-ct no-ts no-comp no-rfc3779
         no-async no-aria no-bf no-blake2 no-camellia no-cast no-chacha no-poly1305
         no-cmac no-des no-dh no-dsa no-ec no-idea no-md4 no-mdc2 no-ocb no-rc2 no-rc4
         no-rmd160 no-scrypt no-seed no-siphash no-siv no-sm2 no-sm3 no-sm4 no-whirlpool
         no-multiblock)

fail() {
    echo "error: libcrypto: $1 failed (see ${log#"$root"/})" >&2
    exit 1
}
step() {  # step WHAT COMMAND...
    local what=$1
    shift
    "$@" >> "$log" 2>&1 || fail "$what"
}

mkdir -p "$deps"
# One builder at a time: a second waits, then finds the result whole.
exec 9> "$deps/.openssl.lock"
flock 9

# The source package with Debian's patches applied, taken from the archive
# without apt (tools/debian_fetch.py), as in the manylinux image of
# cibuildwheel; kept under build/deps/openssl-src.
src=$deps/openssl-src
[ -f "$src/.complete" ] || echo "fetching Debian's openssl source package ($suite) ..." >&2
version=$("${PYTHON:-python3}" tools/debian_fetch.py source "$suite" openssl "$src") || exit 1
dest=$deps/openssl-${version%%-*}-glibc2.17
stamp="$version $("$tc/cc" --version 2>/dev/null | head -1) ${options[*]}"
if [ "$(cat "$dest/.complete" 2> /dev/null)" = "$stamp" ]; then
    echo "$dest"
    exit 0
fi

echo "building libcrypto $version for glibc 2.17 into ${dest#"$root"/} ..." >&2
start=$SECONDS
: > "$log"
work=$(mktemp -d "$deps/.openssl.XXXXXX")
trap 'rm -rf "$work"' EXIT
step "copying the source" cp -a "$src" "$work/src"
step "configure" bash -c "cd '$work/src' && ./Configure linux-x86_64 --prefix=/ \
    --libdir=lib CC='$tc/cc' AR='$tc/ar' RANLIB='$tc/ranlib' ${options[*]} \
    -fPIC -ffp-contract=off -ffunction-sections -fdata-sections"
step "make" make -C "$work/src" -j "${JOBS:-2}" build_generated
step "make" make -C "$work/src" -j "${JOBS:-2}" libcrypto.a libcrypto.pc
mkdir -p "$work/out/include/openssl" "$work/out/lib/pkgconfig"
cp "$work"/src/include/openssl/*.h "$work/out/include/openssl/"
cp "$work/src/libcrypto.a" "$work/out/lib/"
# The prefix the build was configured with is /: pkg-config gets the real one.
sed "s|^prefix=.*|prefix=$dest|;s|^libdir=.*|libdir=$dest/lib|;s|^includedir=.*|includedir=$dest/include|" \
    "$work/src/libcrypto.pc" > "$work/out/lib/pkgconfig/libcrypto.pc"
echo "$stamp" > "$work/out/.complete"
rm -rf "$dest"
mv -T "$work/out" "$dest"
echo "libcrypto built in $((SECONDS - start)) s" >&2
echo "$dest"
