#!/bin/sh
# Prints the path of a CPython 3.13 interpreter: /usr/bin/python3.13, the
# newest pyenv 3.13.x, or python3.13 on PATH -- in that order.
ok() { [ -x "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }
for c in /usr/bin/python3.13 /usr/local/bin/python3.13; do
    if ok "$c"; then echo "$c"; exit 0; fi
done
if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root); else root="${PYENV_ROOT:-$HOME/.pyenv}"; fi
for d in $(ls -d "$root"/versions/3.13* 2>/dev/null | sort -V -r); do
    if ok "$d/bin/python3.13"; then echo "$d/bin/python3.13"; exit 0; fi
done
c=$(command -v python3.13 2>/dev/null) && ok "$c" && { echo "$c"; exit 0; }
echo "error: CPython 3.13 not found (looked in /usr/bin, pyenv and PATH)" >&2
exit 1
