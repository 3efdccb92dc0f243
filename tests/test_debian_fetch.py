"""The apt-free fetcher of the wheel builds' dependencies, offline: index
parsing, .deb and source unpacking, and what it must refuse."""

from __future__ import annotations

import hashlib
import importlib.util
import io
import shutil
import sys
import tarfile
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parents[1] / "tools"
if not (TOOLS / "debian_fetch.py").exists():
    pytest.skip("needs the project's tools/", allow_module_level=True)
spec = importlib.util.spec_from_file_location("debian_fetch", TOOLS / "debian_fetch.py")
assert spec and spec.loader
df = importlib.util.module_from_spec(spec)
sys.modules["debian_fetch"] = df
spec.loader.exec_module(df)


def tar_bytes(files: dict[str, bytes], mode: str = "w:xz") -> bytes:
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode=mode) as t:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = 0o644
            t.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def ar_bytes(members: dict[str, bytes]) -> bytes:
    out = [b"!<arch>\n"]
    for name, data in members.items():
        header = f"{name:<16}{0:<12}{0:<6}{0:<6}{'100644':<8}{len(data):<10}`\n"
        out += [header.encode(), data, b"\n" if len(data) & 1 else b""]
    return b"".join(out)


def test_index_stanzas_pick_the_one_current_entry():
    text = ("Package: openssl\nVersion: 3.0.1-1\nChecksums-Sha256:\n"
            " aa 10 openssl_3.0.1-1.dsc\n bb 20 openssl_3.0.1.orig.tar.gz\n\n"
            "Package: openssl\nVersion: 1.1.1-1\nExtra-Source-Only: yes\n\n\n"
            "Package: zlib\nVersion: 1\n")
    entries = df.stanzas(text)
    assert [e["Package"] for e in entries] == ["openssl", "openssl", "zlib"]
    entry = df.one(entries, "openssl", "bookworm")
    assert entry["Version"] == "3.0.1-1"
    assert df.checksums(entry["Checksums-Sha256"]) == {
        "openssl_3.0.1-1.dsc": "aa", "openssl_3.0.1.orig.tar.gz": "bb"}
    with pytest.raises(df.Failure, match="0 current entries for curl"):
        df.one(entries, "curl", "bookworm")
    with pytest.raises(df.Failure, match="SHA-256 differs"):
        df.checked(b"tampered", hashlib.sha256(b"original").hexdigest(), "x.deb")
    signed = ("-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA512\n\nFormat: 3.0 (quilt)\n"
              "-----BEGIN PGP SIGNATURE-----\nxyz\n-----END PGP SIGNATURE-----\n")
    assert df.clearsigned_text(signed.encode(), "x.dsc", archive_signed=False) == (
        "Format: 3.0 (quilt)")


def test_headers_of_a_deb_only_and_never_outside_the_destination(tmp_path):
    data = tar_bytes({"./usr/include/fast_float/fast_float.h": b"// ff\n",
                      "./usr/share/doc/libfast-float-dev/copyright": b"MIT\n",
                      "./etc/include/not-a-header.h": b"x"})
    deb = ar_bytes({"debian-binary": b"2.0\n", "control.tar.xz": tar_bytes({"./control": b"x"}),
                    "data.tar.xz": data})
    members = df.ar_members(deb)
    assert members["debian-binary"] == b"2.0\n" and members["data.tar.xz"] == data
    with tarfile.open(fileobj=io.BytesIO(data)) as t:
        df.extract(t, tmp_path / "include", "usr/include/")
    assert [p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file()] == [
        "include/fast_float/fast_float.h"]

    # A hard link is renamed with its target (or left out with it).
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w") as t:
        info = tarfile.TarInfo("./usr/include/a.h")
        info.size = 2
        t.addfile(info, io.BytesIO(b"a\n"))
        for name, target in (("./usr/include/b.h", "./usr/include/a.h"),
                             ("./usr/include/c.h", "./usr/share/a.h")):
            link = tarfile.TarInfo(name)
            link.type, link.linkname = tarfile.LNKTYPE, target
            t.addfile(link)
    with tarfile.open(fileobj=io.BytesIO(buf.getvalue())) as t:
        df.extract(t, tmp_path / "links", "usr/include/")
    assert sorted(p.name for p in (tmp_path / "links").iterdir()) == ["a.h", "b.h"]
    assert (tmp_path / "links" / "b.h").read_bytes() == b"a\n"

    with pytest.raises(df.Failure, match="no ar header"):
        df.ar_members(b"PK\x03\x04")
    with pytest.raises(df.Failure, match="damaged"):
        df.ar_members(b"!<arch>\n" + f"{'x':<16}{0:<12}{0:<6}{0:<6}{'100644':<8}{'-60':<10}`\n"
                      .encode())
    evil = tar_bytes({"./usr/include/../../../escaped.h": b"x"})
    with tarfile.open(fileobj=io.BytesIO(evil)) as t, pytest.raises(tarfile.TarError):
        df.extract(t, tmp_path / "out", "usr/include/")
    assert not (tmp_path.parent / "escaped.h").exists()


def test_downloads_retry_dropped_connections_and_not_missing_files(monkeypatch, capsys, tmp_path):
    import http.client
    import urllib.error

    calls: list[str] = []

    def urlopen(url: str, timeout: float) -> io.BytesIO:
        calls.append(url)
        if "missing" in url:
            raise urllib.error.HTTPError(url, 404, "Not Found", None, None)  # type: ignore[arg-type]
        if len(calls) == 1:
            raise http.client.IncompleteRead(b"")
        return io.BytesIO(b"body")

    monkeypatch.setattr(df.urllib.request, "urlopen", urlopen)
    monkeypatch.setattr(df.time, "sleep", lambda s: None)
    assert df.download("https://archive/ok") == b"body" and len(calls) == 2
    calls.clear()
    with pytest.raises(df.Failure, match="404"):
        df.download("https://archive/missing")
    assert calls == ["https://archive/missing"]

    # A failed command says so in one line, exits 1 and leaves nothing behind.
    monkeypatch.setattr(df, "ARCHIVE", "https://archive/missing")
    assert df.main(["headers", "bookworm", str(tmp_path / "h"), "rapidjson-dev"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("error: debian_fetch: downloading") and err.count("\n") == 1
    assert [p.name for p in tmp_path.iterdir()] == [".h.lock"]


def source_package(tmp: Path, patches: dict[str, bytes], series: str) -> str:
    orig = tar_bytes({"pkg-1.0/config.txt": b"one\ntwo\nthree\n"}, "w:gz")
    debian = tar_bytes({"debian/patches/series": series.encode(),
                        **{f"debian/patches/{n}": p for n, p in patches.items()}})
    (tmp / "pkg_1.0.orig.tar.gz").write_bytes(orig)
    (tmp / "pkg_1.0-1.debian.tar.xz").write_bytes(debian)
    (tmp / "pkg_1.0-1.dsc").write_text(
        "Format: 3.0 (quilt)\nSource: pkg\nChecksums-Sha256:\n"
        f" {hashlib.sha256(orig).hexdigest()} {len(orig)} pkg_1.0.orig.tar.gz\n"
        " 00 1 pkg_1.0.orig.tar.gz.asc\n"
        f" {hashlib.sha256(debian).hexdigest()} {len(debian)} pkg_1.0-1.debian.tar.xz\n")
    return "pkg_1.0-1.dsc"


@pytest.mark.skipif(shutil.which("patch") is None, reason="needs patch")
def test_source_is_unpacked_with_its_patches_in_series_order(tmp_path):
    first = (b"--- a/config.txt\n+++ b/config.txt\n@@ -1,3 +1,3 @@\n"
             b" one\n-two\n+TWO\n three\n")
    second = (b"--- a/config.txt\n+++ b/config.txt\n@@ -1,3 +1,3 @@\n"
              b" one\n-TWO\n+2\n three\n")
    src, dest = tmp_path / "src", tmp_path / "tree"
    src.mkdir()
    dsc = source_package(src, {"first.patch": first, "second.patch": second},
                         "# applied in this order\nfirst.patch\nsecond.patch -p1\n")
    df.unpack_source(src, dsc, dest)
    assert (dest / "config.txt").read_text() == "one\n2\nthree\n"
    assert (dest / "debian/patches/series").exists()

    # A patch that no longer applies stops the build instead of shipping the
    # upstream code without Debian's fix.
    src2, dest2 = tmp_path / "src2", tmp_path / "tree2"
    src2.mkdir()
    dsc = source_package(src2, {"second.patch": second}, "second.patch\n")
    with pytest.raises(df.Failure, match="second.patch"):
        df.unpack_source(src2, dsc, dest2)
