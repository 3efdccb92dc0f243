"""Mirror the pure-Python package into a build tree with symbolic links.

A developer build leaves the extension modules in <build>/pkg/kelvane_layer/
_internal; linking the Python files next to them gives a tree that imports
as the installed package would, without installing anything, while edits to
the Python files take effect at once.
"""

import os
import sys


def mirror(src: str, dst: str) -> None:
    src = os.path.abspath(src)
    wanted = set()
    for root, dirs, files in os.walk(src):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        rel = os.path.relpath(root, src)
        os.makedirs(os.path.join(dst, rel), exist_ok=True)
        for name in files:
            if name.endswith((".so", ".pyc")):
                continue
            target = os.path.join(root, name)
            link = os.path.normpath(os.path.join(dst, rel, name))
            wanted.add(link)
            if os.path.islink(link) and os.readlink(link) == target:
                continue
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(target, link)
    # Drop links whose source file was removed or renamed.
    for root, _dirs, files in os.walk(dst):
        for name in files:
            path = os.path.normpath(os.path.join(root, name))
            if os.path.islink(path) and path not in wanted:
                os.remove(path)


if __name__ == "__main__":
    mirror(sys.argv[1], sys.argv[2])
