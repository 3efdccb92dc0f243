"""The compilers of the shipped wheels (tools/zig-toolchain.sh).

A glibc 2.17 build that picked up the host's /usr/include would compile
against glibc 2.36's headers and only fail, if at all, when the repair
checks the symbols; these tests pin the guard that stops it at the first
compile.  They need zig from the venv's wheel dependency group.
"""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "tools" / "zig-toolchain.sh"

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("ziglang") is None or not SCRIPT.exists(),
    reason="needs zig (the wheel dependency group) and a checkout's tools/")


@pytest.fixture(scope="module")
def toolchain(tmp_path_factory: pytest.TempPathFactory) -> Path:
    d = tmp_path_factory.mktemp("tc")
    r = subprocess.run([str(SCRIPT), sys.executable, str(d), "--without-libcrypto"],
                       capture_output=True, text=True)
    # The headers come from Debian's archive on first use (then from
    # build/deps): a machine that cannot reach it cannot make this toolchain.
    if r.returncode != 0 and "debian_fetch: downloading" in r.stderr:
        pytest.skip(f"Debian's archive is out of reach: {r.stderr.strip()}")
    assert r.returncode == 0, r.stderr
    return d


def _cxx(tc: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(tc / "c++"), *args], capture_output=True, text=True)


@pytest.mark.parametrize("args", [("-I/usr/include",), ("-I/usr/include/",),
                                  ("-isystem", "/usr/include"), ("-isystem/usr/include",),
                                  ("-idirafter", "/usr/include")])
def test_the_hosts_include_directory_is_refused(toolchain: Path, args: tuple[str, ...]) -> None:
    r = _cxx(toolchain, "-O2", *args, "--version")
    assert r.returncode == 1 and "/usr/include on the include path" in r.stderr


def test_directories_below_it_and_the_rest_pass(toolchain: Path) -> None:
    r = _cxx(toolchain, "-I/usr/include/python3.13", "-isystem", str(toolchain / "include"),
             "--version")
    assert r.returncode == 0 and "clang" in r.stdout, r.stderr


def test_the_include_directory_holds_the_header_only_dependencies_alone(toolchain: Path) -> None:
    inc = toolchain / "include"
    allowed = {"rapidjson", "fast_float", "x86_64-linux-gnu"}
    assert {p.name for p in inc.iterdir()} <= allowed
    # Each link reaches one dependency: the fetched Debian headers, or the
    # Debian interpreter's own pyconfig directory, never a whole include tree.
    fetched = str(ROOT / "build" / "deps" / "headers-bookworm" / "include") + "/"
    for p in inc.rglob("*"):
        if p.is_symlink():
            target = os.readlink(p)
            assert target.startswith((fetched, "/usr/include/x86_64-linux-gnu/python")), target
    assert (inc / "rapidjson" / "reader.h").exists()
    assert (inc / "fast_float" / "fast_float.h").exists()


def test_the_cmake_toolchain_names_the_wrappers(toolchain: Path) -> None:
    text = (toolchain / "toolchain.cmake").read_text()
    for tool in ("cc", "c++", "ar", "ranlib"):
        assert f'"{toolchain / tool}"' in text
        assert os.access(toolchain / tool, os.X_OK)
