"""tools/chroot314.sh: the Debian sid root that carries CPython 3.14.

A root is used only when it was made whole, a failure says in one line what
failed and leaves nothing behind, and nothing mounted for a command outlives
it.  The tests that start a command inside need the root under build/ (made
by `make test-314`), and are skipped inside that root itself.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "tools" / "chroot314.sh"
BUILT = ROOT / "build" / "interp" / "py314"


def _inside_the_root() -> bool:
    # Inside, the root's directory in the checkout is "/" itself.
    try:
        here, built = os.stat("/"), os.stat(BUILT)
    except OSError:
        return False
    return (here.st_dev, here.st_ino) == (built.st_dev, built.st_ino)


def _env(**extra: str) -> dict[str, str]:
    # The script and the tools it runs (debootstrap, apt-get) are not the code
    # under test: the sanitizer run's preloaded runtimes stay out of them.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS",
                                                             "UBSAN_OPTIONS", "TSAN_OPTIONS")}
    return {**env, **extra}


def _mounts_under(path: Path) -> list[str]:
    out = subprocess.run(["findmnt", "-rn", "-o", "TARGET"], capture_output=True, text=True)
    return [m for m in out.stdout.splitlines() if m.startswith(str(path))]


needs_root_user = pytest.mark.skipif(
    os.geteuid() != 0 or not shutil.which("debootstrap") or _inside_the_root(),
    reason="needs root and debootstrap, outside the 3.14 root")
needs_built_root = pytest.mark.skipif(
    os.geteuid() != 0 or not (BUILT / ".complete").exists() or _inside_the_root(),
    reason="needs root and the 3.14 root under build/ (make test-314), outside it")


@needs_root_user
def test_a_failed_download_says_so_in_one_line_and_leaves_nothing(tmp_path: Path) -> None:
    dest = tmp_path / "py314"
    # What an interrupted older attempt could leave: a tree without the marker.
    (dest / "usr" / "bin").mkdir(parents=True)
    env = _env(PY314_ROOT=str(dest), DEBIAN_MIRROR="http://127.0.0.1:9/debian")
    for args in (["create"], ["run", "sh", "-c", "echo ran"]):
        r = subprocess.run([SCRIPT, *args], capture_output=True, text=True, env=env,
                           timeout=300)
        assert r.returncode == 1, args
        # The unmarked tree is never taken for a root to run in.
        assert r.stdout == ""
        errors = [line for line in r.stderr.splitlines() if "error" in line.lower()]
        assert errors == [f"error: py314 chroot: debootstrap sid failed (see {dest}.log)"]
        assert "127.0.0.1" in (tmp_path / "py314.log").read_text()
        # No scratch root beside it, and the old tree left as it was.
        assert sorted(p.name for p in tmp_path.iterdir()) == [".py314.lock", "py314",
                                                              "py314.log"]
        assert [p.name for p in dest.rglob("*")] == ["usr", "bin"]
        assert not _mounts_under(tmp_path)


@needs_root_user
def test_a_root_whose_update_failed_is_no_longer_trusted(tmp_path: Path) -> None:
    # A root marked with an older package list is topped up on its next use;
    # here that cannot work (the tree holds no system), so it must lose its
    # marker rather than go on being used half-installed.
    dest = tmp_path / "py314"
    dest.mkdir()
    (dest / ".complete").write_text("python3.14\n")
    r = subprocess.run([SCRIPT, "run", "true"], capture_output=True, text=True,
                       env=_env(PY314_ROOT=str(dest)), timeout=120)
    assert r.returncode == 1
    errors = [line for line in r.stderr.splitlines() if "error" in line.lower()]
    assert errors == [f"error: py314 chroot: apt-get update (sid) failed (see {dest}.log)"]
    assert not (dest / ".complete").exists()
    assert not _mounts_under(tmp_path)


@needs_built_root
def test_run_gives_the_command_this_checkout_a_clean_environment_and_its_status() -> None:
    probe = ('pwd; echo "$KL_PROBE|${PROBE_HOST_ONLY-unset}|${PYTHONPATH-unset}|$PATH"; '
             'python3.14 -c "import sys; print(sys.version_info[:2])"; '
             'test -r /proc/self/status && test -c /dev/null && test -f ../pyproject.toml '
             '&& echo mounted; exit 7')
    env = _env(KL_PROBE="kept", PROBE_HOST_ONLY="x", PYTHONPATH="/nowhere")
    r = subprocess.run([SCRIPT, "run", "sh", "-c", probe], capture_output=True, text=True,
                       env=env, cwd=ROOT / "tests", timeout=120)
    assert r.returncode == 7, r.stderr
    assert r.stdout.splitlines() == [
        str(ROOT / "tests"),
        "kept|unset|unset|/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "(3, 14)",
        "mounted",
    ]
    # Whether the command succeeds, fails or is killed, its mounts go with it.
    assert not _mounts_under(BUILT)
    r = subprocess.run([SCRIPT, "run", "sh", "-c", "kill -KILL $$"], capture_output=True,
                       env=_env(), timeout=120)
    assert r.returncode == 128 + 9
    assert not _mounts_under(BUILT)
