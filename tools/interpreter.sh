#!/usr/bin/env bash
# Prints the path of an extra CPython the suite runs on, obtaining it first
# when this machine does not have it yet:
#
#     tools/interpreter.sh ft      free-threaded 3.13t (GIL disabled)
#     tools/interpreter.sh tsan    the same, built with ThreadSanitizer
#
# Both are built from the python3.13 source package of Debian 13, fetched
# with apt-get through a private apt configuration under build/ (the
# machine's own sources are left alone), and installed under
# build/interp/<kind>.  A build goes to a scratch directory first and is
# moved into place only when it is whole, so a failed or interrupted run
# never leaves an interpreter a later run would trust.  Progress goes to
# build/interp/<kind>.log; a failure prints one line naming the step.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

kind=${1:-}
# Each interpreter gets only what runs on it, since every part is minutes of
# a first build on two cores:
# - no pip in the base installation: every venv made from it gets its own
#   from the bundled wheel, and make test-tsan installs the test tools beside
#   the instrumented one with the ordinary venv's pip;
# - no bytecode compiled at install (compileall at three optimisation
#   levels): each module's is written when it is first imported, and
#   make test-tsan keeps its own in a cache of its own;
# - none of the extension modules nothing here imports (terminal, GUI and
#   database bindings, the CJK codecs, example modules).  The instrumented
#   interpreter, on which everything runs ten times slower, also goes
#   without those only pip or the wheel tools need (ssl, hashlib's OpenSSL
#   hashes, archives, ctypes); decimal falls back to its pure-Python twin.
skip_common=(_tkinter _curses _curses_panel _dbm _gdbm readline _sqlite3 _multibytecodec
             _codecs_cn _codecs_hk _codecs_iso2022 _codecs_jp _codecs_kr _codecs_tw
             xxlimited xxlimited_35 xxsubtype _interpreters _interpchannels _interpqueues)
skip_tsan=(_decimal _ctypes _lzma _bz2 _ssl _hashlib pyexpat _elementtree _uuid
           _multiprocessing _posixshmem)
case "$kind" in
    ft) configure=(--disable-gil); mods=("${skip_common[@]}") ;;
    tsan)
        configure=(--disable-gil --with-thread-sanitizer)
        mods=("${skip_common[@]}" "${skip_tsan[@]}")
        ;;
    *) echo "usage: tools/interpreter.sh ft|tsan" >&2; exit 2 ;;
esac

dest=$root/build/interp/$kind
python=$dest/bin/python3.13t
if [ -x "$python" ] && [ -f "$dest/.complete" ]; then
    echo "$python"
    exit 0
fi

# What CPython's build needs for the modules the suite and pip use (ssl and
# zlib for pip, ctypes, decimal, lzma/bz2 for archives).
tools/bootstrap.sh system dpkg-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev >&2

mkdir -p "$root/build/interp"
log=$root/build/interp/$kind.log
work=$(mktemp -d "$root/build/interp/.$kind.XXXXXX")
trap 'rm -rf "$work"' EXIT
: > "$log"
step() {  # step NAME COMMAND...: runs COMMAND, logging; one line on failure
    local name=$1
    shift
    if ! "$@" >> "$log" 2>&1; then
        echo "error: $kind interpreter: $name failed (see $log)" >&2
        exit 1
    fi
}

# The source: Debian 13's python3.13, through a private apt state.
apt=$root/build/interp/apt
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
    "http://deb.debian.org/debian trixie main" > "$apt/sources.list"
aptopts=(-o "Dir::Etc::sourcelist=$apt/sources.list" -o "Dir::Etc::sourceparts=-"
         -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
         -o "APT::Sandbox::User=root")
src=$root/build/interp/src
if ! ls "$src"/python3.13_*.orig.tar.xz > /dev/null 2>&1; then
    echo "fetching the python3.13 source package of Debian 13 ..." >&2
    step "apt-get update (deb-src trixie)" apt-get "${aptopts[@]}" update
    mkdir -p "$src.tmp"
    step "apt-get source python3.13" \
        bash -c "cd '$src.tmp' && apt-get ${aptopts[*]} source --download-only python3.13"
    rm -rf "$src"
    mv "$src.tmp" "$src"
fi

# The upstream tarball inside it is enough: Debian's patches adapt the
# interpreter to Debian's own layout, which an interpreter under build/ does
# not want.
echo "building CPython 3.13 (${configure[*]}) into $dest ..." >&2
# The build runs the new interpreter (frozen modules, compileall with worker
# processes, ensurepip).  A TSan report there is about the interpreter, not
# under test here, and its exit status 66 would fail the build at random:
# reports are off until the interpreter is installed.
if [ "$kind" = tsan ]; then export TSAN_OPTIONS=report_bugs=0; fi
step "unpacking the source" tar -xJf "$(ls "$src"/python3.13_*.orig.tar.xz | head -1)" -C "$work"
tree=$(ls -d "$work"/Python-3.13*)
# No test modules: the suite needs none of them, and leaving them out saves
# a third of the build and most of the install's bytecode compilation (for
# the instrumented interpreter, most of `make install`).
skip=()
for mod in "${mods[@]}"; do skip+=("py_cv_module_$mod=n/a"); done
# ccache, where the machine has it (CI installs it), makes a rebuild from a
# fresh checkout mostly cache hits.  The scratch directory's name changes
# every time: compile commands are hashed relative to it, and without the
# working directory (the debug info then names the scratch paths, which no
# one reads).
if command -v ccache > /dev/null; then
    export CC="ccache gcc" CCACHE_BASEDIR=$work CCACHE_NOHASHDIR=1
fi
step "configure" bash -c "cd '$tree' && ${skip[*]} ./configure --prefix='$dest' ${configure[*]} \
    --disable-test-modules --with-ensurepip=no"
step "make" make -C "$tree" -j "${JOBS:-2}"
rm -rf "$dest"
# PYTHON_FOR_BUILD runs only compileall at this step: `true` skips it.
step "make install" make -C "$tree" install PYTHON_FOR_BUILD=true
"$python" -c 'import sys; sys.exit(sys._is_gil_enabled())' >> "$log" 2>&1 \
    || { rm -rf "$dest"; echo "error: $kind interpreter: the GIL is enabled in the build" >&2; exit 1; }
touch "$dest/.complete"
echo "$python"
