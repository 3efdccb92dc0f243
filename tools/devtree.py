"""Mirror the pure-Python parts into a build tree with symbolic links.

    python tools/devtree.py DEST PROJECT...

A developer build leaves the extension modules in DEST/kelvane_layer/
_internal.  Each PROJECT is a directory holding a pyproject.toml and a
src/kelvane_layer tree (the core at the root, the host stand-ins in
standin/); linking their Python files next to the modules gives one tree that
imports as the two installed distributions would, side by side in one
site-packages, while edits to the Python files take effect at once.

Each project also gets a minimal .dist-info directory, so that
importlib.metadata reports the same names and versions in the tree as in an
installed environment.
"""

import os
import re
import shutil
import sys
import tomllib

PACKAGE = "kelvane_layer"


def _dist_info(project: str) -> tuple[str, str]:
    """The (name, version) of a project, the version resolved as the build does."""
    with open(os.path.join(project, "pyproject.toml"), "rb") as f:
        meta = tomllib.load(f)
    name = meta["project"]["name"]
    version = meta["project"].get("version")
    if version is None:
        # A project that takes its version from another file names it
        # through the regex metadata provider of its build backend.
        spec = meta["tool"]["scikit-build"]["metadata"]["version"]
        with open(os.path.join(project, spec["input"]), encoding="utf-8") as f:
            version = re.search(spec["regex"], f.read()).group("value")
    return name, version


def mirror(dst: str, projects: list[str]) -> None:
    wanted = set()
    for project in projects:
        src = os.path.abspath(os.path.join(project, "src", PACKAGE))
        for root, dirs, files in os.walk(src):
            dirs[:] = [d for d in dirs if d != "__pycache__"]
            rel = os.path.relpath(root, src)
            os.makedirs(os.path.join(dst, PACKAGE, rel), exist_ok=True)
            for name in files:
                if name.endswith((".so", ".pyc")):
                    continue
                target = os.path.join(root, name)
                link = os.path.normpath(os.path.join(dst, PACKAGE, rel, name))
                wanted.add(link)
                if os.path.islink(link) and os.readlink(link) == target:
                    continue
                if os.path.lexists(link):
                    os.remove(link)
                os.symlink(target, link)
    # Drop links whose source file was removed, renamed or moved to another
    # project (a stale link would shadow nothing but still import).
    for root, _dirs, files in os.walk(os.path.join(dst, PACKAGE)):
        for name in files:
            path = os.path.normpath(os.path.join(root, name))
            if os.path.islink(path) and path not in wanted:
                os.remove(path)

    infos = set()
    for project in projects:
        name, version = _dist_info(project)
        info = f"{re.sub(r'[-_.]+', '_', name)}-{version}.dist-info"
        infos.add(info)
        os.makedirs(os.path.join(dst, info), exist_ok=True)
        text = f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n"
        path = os.path.join(dst, info, "METADATA")
        if not os.path.exists(path) or open(path, encoding="utf-8").read() != text:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    # A version bump leaves the old .dist-info behind; two would make the
    # reported version depend on directory order.
    for entry in os.listdir(dst):
        if entry.endswith(".dist-info") and entry not in infos:
            shutil.rmtree(os.path.join(dst, entry))


if __name__ == "__main__":
    mirror(sys.argv[1], sys.argv[2:])
