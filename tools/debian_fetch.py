#!/usr/bin/env python3
"""Takes packages from Debian's archive without apt, for the wheel builds.

A wheel's libcrypto and header-only dependencies come from Debian's packages
on every machine that builds one: this Debian machine, and the manylinux
image of cibuildwheel (CentOS, no apt, no dpkg).  So they are fetched here
with nothing but the standard library and `patch`:

    debian_fetch.py source  SUITE PACKAGE DEST   the source package, unpacked
                                                 into DEST with Debian's
                                                 patches applied; prints its
                                                 version
    debian_fetch.py headers SUITE DEST PACKAGE... the usr/include of these
                                                 binary packages (amd64 or
                                                 all) in DEST/include

Each file is checked against the SHA-256 in the suite's index, and each
index against the suite's Release file.  That file's signature is checked
with gpgv and Debian's archive keyring where the machine has both (Debian
does); elsewhere HTTPS to the archive is the trust, as it is for pip.
A finished DEST is marked with .complete and kept: later runs fetch nothing.
Any failure prints one line naming what failed and exits 1.
"""

from __future__ import annotations

import fcntl
import hashlib
import http.client
import io
import lzma
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

ARCHIVE = "https://deb.debian.org/debian"
KEYRING = Path("/usr/share/keyrings/debian-archive-keyring.gpg")
ARCH = "amd64"


class Failure(Exception):
    """What failed, in one line."""


# ---- The archive ------------------------------------------------------------

def download(url: str) -> bytes:
    # Three tries: a mirror behind the CDN may drop one connection (a file
    # the archive does not have is not asked for again).
    for attempt in range(3):
        try:
            with urllib.request.urlopen(url, timeout=120) as r:
                return r.read()
        except (OSError, http.client.HTTPException) as e:
            if attempt == 2 or (isinstance(e, urllib.error.HTTPError) and e.code < 500):
                raise Failure(f"downloading {url}: {e}") from None
            time.sleep(2 * (attempt + 1))
    raise AssertionError("unreachable")


def checked(data: bytes, sha256: str, what: str) -> bytes:
    if hashlib.sha256(data).hexdigest() != sha256:
        raise Failure(f"{what}: SHA-256 differs from the archive's index")
    return data


def stanzas(text: str) -> list[dict[str, str]]:
    """The paragraphs of a deb822 file (Release, Sources, Packages, .dsc):
    field -> value, continuation lines joined by newlines."""
    out: list[dict[str, str]] = []
    cur: dict[str, str] = {}
    key = None
    for line in text.splitlines():
        if not line.strip():
            if cur:
                out.append(cur)
            cur, key = {}, None
        elif line[0] in " \t":
            if key is not None:
                cur[key] += "\n" + line.strip()
        elif ":" in line:
            key, _, value = line.partition(":")
            cur[key] = value.strip()
    if cur:
        out.append(cur)
    return out


def checksums(field: str) -> dict[str, str]:
    """name -> SHA-256 from a Checksums-Sha256 / SHA256 field's lines."""
    out = {}
    for line in field.splitlines():
        parts = line.split()
        if len(parts) == 3:
            out[parts[2]] = parts[0]
    return out


def clearsigned_text(data: bytes, what: str, archive_signed: bool = True) -> str:
    """The signed text of a clearsigned file.  An archive-signed one (a
    Release file) has its signature checked where this machine can check it;
    a .dsc is signed by its maintainer, and its checksum in the verified
    index is what vouches for it."""
    gpgv = shutil.which("gpgv")
    if archive_signed and gpgv and KEYRING.is_file():
        # The archive signs with more than one key; a keyring that lacks one
        # of them (a key newer than the keyring) makes gpgv fail the whole
        # file although the others verify.  As apt does: one good signature
        # and no bad one.
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp) / "signed"
            r = subprocess.run([gpgv, "--status-fd", "1", "--keyring", str(KEYRING),
                                "--output", str(out), "-"], input=data, capture_output=True)
            status = {line.split()[1] for line in r.stdout.decode(errors="replace").splitlines()
                      if line.startswith("[GNUPG:] ") and len(line.split()) > 1}
            if "VALIDSIG" not in status or status & {"BADSIG", "REVKEYSIG"} or not out.exists():
                raise Failure(f"{what}: no valid signature by a key in {KEYRING}")
            return out.read_bytes().decode()
    text = data.decode()
    head, sep, rest = text.partition("\n\n")
    if not sep or not head.startswith("-----BEGIN PGP SIGNED MESSAGE-----"):
        return text
    return rest.partition("\n-----BEGIN PGP SIGNATURE-----")[0]


def first_stanza(text: str, what: str) -> dict[str, str]:
    found = stanzas(text)
    if not found:
        raise Failure(f"{what}: no fields")
    return found[0]


def index(suite: str, path: str, packages: list[str]) -> list[dict[str, str]]:
    """The stanzas of these packages in one index of the suite (e.g.
    main/source/Sources); the rest of the index is never parsed."""
    release = first_stanza(clearsigned_text(download(f"{ARCHIVE}/dists/{suite}/InRelease"),
                                            f"the {suite} Release file"), f"the {suite} Release file")
    sums = checksums(release.get("SHA256", ""))
    name = f"{path}.xz"
    if name not in sums:
        raise Failure(f"the {suite} Release file lists no {name}")
    data = checked(download(f"{ARCHIVE}/dists/{suite}/{name}"), sums[name], name)
    # Paragraphs are cut apart first and only the wanted ones parsed: an
    # index holds tens of thousands.
    wanted = tuple(f"Package: {p}\n" for p in packages)
    text = lzma.decompress(data).decode()
    return [e for para in text.split("\n\n") if para.startswith(wanted)
            for e in stanzas(para)]


def one(entries: list[dict[str, str]], package: str, suite: str) -> dict[str, str]:
    # Extra-Source-Only entries are older sources kept for what was built
    # with them; a suite holds one current version of each package.
    found = [e for e in entries
             if e.get("Package") == package and e.get("Extra-Source-Only") != "yes"]
    if len(found) != 1:
        raise Failure(f"{suite} has {len(found)} current entries for {package}")
    return found[0]


# ---- Unpacking --------------------------------------------------------------

def extract(tar: tarfile.TarFile, dest: Path, prefix: str) -> None:
    """Extracts the members whose path starts with `prefix` (a leading "./"
    aside), with the prefix removed; the rest are left out.  A hard link is
    renamed the same way, or left out when its target is.  The "data" filter
    refuses absolute paths, links out of dest and device files."""
    def inside(name: str) -> str | None:
        name = name[2:] if name.startswith("./") else name
        rest = name[len(prefix):] if name.startswith(prefix) else None
        return rest.strip("/") if rest and rest.strip("/") else None

    members = []
    for m in tar.getmembers():
        name = inside(m.name)
        if name is None:
            continue
        if m.islnk():
            target = inside(m.linkname)
            if target is None:
                continue
            m.linkname = target
        m.name = name
        members.append(m)
    tar.extractall(dest, members=members, filter="data")


def unpack_source(src: Path, dsc_name: str, dest: Path) -> None:
    dsc = first_stanza(clearsigned_text((src / dsc_name).read_bytes(), dsc_name,
                                        archive_signed=False), dsc_name)
    if dsc.get("Format") != "3.0 (quilt)":
        raise Failure(f"{dsc_name}: source format {dsc.get('Format')!r} is not 3.0 (quilt)")
    files = [f for f in checksums(dsc.get("Checksums-Sha256", "")) if not f.endswith(".asc")]
    orig = [f for f in files if ".orig.tar." in f]
    debian = [f for f in files if ".debian.tar." in f]
    # Anything else (an upstream component tarball) would be left out of the
    # tree without a word.
    if len(orig) != 1 or len(debian) != 1 or len(files) != 2:
        raise Failure(f"{dsc_name}: expected one upstream and one Debian tarball, "
                      f"got {', '.join(files)}")
    with tarfile.open(src / orig[0]) as t:
        tops = {Path(m.name).parts[0] for m in t.getmembers()
                if Path(m.name).parts and Path(m.name).parts != (".",)}
        if len(tops) != 1:
            raise Failure(f"{orig[0]}: not one top directory")
        extract(t, dest, f"{tops.pop()}/")
    with tarfile.open(src / debian[0]) as t:
        extract(t, dest / "debian", "debian/")
    # Debian's patches in order, as dpkg-source applies them: no fuzz.
    series = dest / "debian/patches/series"
    for line in series.read_text().splitlines() if series.exists() else []:
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        strip = next((w for w in words[1:] if w.startswith("-p")), "-p1")
        r = subprocess.run(["patch", strip, "-s", "-t", "-N", "-F", "0", "-d", str(dest),
                            "-i", str(dest / "debian/patches" / words[0])],
                           capture_output=True, text=True)
        if r.returncode != 0:
            said = (r.stdout or r.stderr).strip().splitlines()
            raise Failure(f"applying Debian's patch {words[0]}: {said[0] if said else 'failed'}")


def ar_members(data: bytes) -> dict[str, bytes]:
    """The members of a .deb (an ar archive): name -> bytes."""
    if not data.startswith(b"!<arch>\n"):
        raise Failure("not a Debian package (no ar header)")
    out, pos = {}, 8
    while pos + 60 <= len(data):
        header = data[pos:pos + 60]
        digits = header[48:58].decode().strip()
        if header[58:60] != b"`\n" or not digits.isdigit():
            raise Failure("not a Debian package (a damaged ar member header)")
        name = header[:16].decode().strip().rstrip("/")
        size = int(digits)
        out[name] = data[pos + 60:pos + 60 + size]
        pos += 60 + size + (size & 1)
    return out


# ---- Commands ---------------------------------------------------------------

def finished(dest: Path, stamp: str) -> bool:
    marker = dest / ".complete"
    return marker.is_file() and marker.read_text() == stamp


class Locked:
    """One fetch of `dest` at a time (two wheel legs, or a test beside a
    build): a second waits, then finds the first one's result whole."""

    def __init__(self, dest: Path) -> None:
        dest.parent.mkdir(parents=True, exist_ok=True)
        self.file = open(dest.parent / f".{dest.name}.lock", "w")

    def __enter__(self) -> None:
        fcntl.flock(self.file, fcntl.LOCK_EX)

    def __exit__(self, *exc: object) -> None:
        self.file.close()  # releases the lock


def install(work: Path, dest: Path, stamp: str) -> None:
    """Moves a whole result into place, so a failed run leaves nothing a
    later one would trust."""
    (work / ".complete").write_text(stamp)
    work.chmod(0o755)  # made private by mkdtemp
    if dest.exists():
        shutil.rmtree(dest)
    work.rename(dest)


def source(suite: str, package: str, dest: Path) -> str:
    stamp = f"source {suite} {package}\n"
    with Locked(dest):
        if not finished(dest, stamp):
            fetch_source(suite, package, dest, stamp)
        return (dest / ".version").read_text().strip()


def fetch_source(suite: str, package: str, dest: Path, stamp: str) -> None:
    entry = one(index(suite, "main/source/Sources", [package]), package, suite)
    work = Path(tempfile.mkdtemp(prefix=f".{dest.name}.", dir=dest.parent))
    try:
        files = work / ".files"
        files.mkdir()
        sums = checksums(entry.get("Checksums-Sha256", ""))
        for name, sha in sums.items():
            url = f"{ARCHIVE}/{entry['Directory']}/{name}"
            (files / name).write_bytes(checked(download(url), sha, name))
        dsc = next((n for n in sums if n.endswith(".dsc")), None)
        if dsc is None:
            raise Failure(f"{package} in {suite} has no .dsc")
        unpack_source(files, dsc, work)
        (work / ".version").write_text(entry["Version"] + "\n")
        shutil.rmtree(files)
        install(work, dest, stamp)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def headers(suite: str, dest: Path, packages: list[str]) -> None:
    stamp = f"headers {suite} {' '.join(sorted(packages))}\n"
    with Locked(dest):
        if not finished(dest, stamp):
            fetch_headers(suite, dest, packages, stamp)


def fetch_headers(suite: str, dest: Path, packages: list[str], stamp: str) -> None:
    entries = index(suite, f"main/binary-{ARCH}/Packages", packages)
    work = Path(tempfile.mkdtemp(prefix=f".{dest.name}.", dir=dest.parent))
    try:
        versions = []
        for package in packages:
            e = one(entries, package, suite)
            deb = checked(download(f"{ARCHIVE}/{e['Filename']}"), e["SHA256"], e["Filename"])
            members = ar_members(deb)
            data = next((k for k in members if k.startswith("data.tar")), None)
            if data is None:
                raise Failure(f"{e['Filename']}: no data archive")
            with tarfile.open(fileobj=io.BytesIO(members[data])) as t:
                extract(t, work / "include", "usr/include/")
            versions.append(f"{package} {e['Version']}")
        (work / ".versions").write_text("\n".join(versions) + "\n")
        install(work, dest, stamp)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv: list[str]) -> int:
    if not hasattr(tarfile, "data_filter"):
        print("error: debian_fetch: needs a Python with tarfile's extraction filters "
              f"(3.11.4 or later), not {sys.version.split()[0]}", file=sys.stderr)
        return 1
    try:
        if len(argv) == 4 and argv[0] == "source":
            print(source(argv[1], argv[2], Path(argv[3]).absolute()))
        elif len(argv) >= 4 and argv[0] == "headers":
            headers(argv[1], Path(argv[2]).absolute(), argv[3:])
        else:
            print(__doc__.split("\n\n")[2], file=sys.stderr)
            return 2
    except (Failure, OSError, tarfile.TarError, lzma.LZMAError, LookupError, ValueError,
            EOFError, http.client.HTTPException) as e:
        print(f"error: debian_fetch: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    os.umask(0o022)
    sys.exit(main(sys.argv[1:]))
