"""tools/aarch64root.sh: the arm64 Debian root of `make test-aarch64`.

A root is used only when it was made whole, and a whole one is used without
asking apt anything; a failure says in one line what failed.  The test that
runs the emulated interpreter needs the root under build/ and qemu-user.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "tools" / "aarch64root.sh"
BUILT = ROOT / "build" / "interp" / "aarch64"


def _run(tmp_path: Path, **env: str) -> subprocess.CompletedProcess[str]:
    env = {"AARCH64_ROOT": str(tmp_path / "aarch64"), "AARCH64_APT": str(tmp_path / "apt"), **env}
    return subprocess.run([SCRIPT], capture_output=True, text=True, timeout=300,
                          env={**os.environ, **env})


def test_a_whole_root_is_used_without_apt(tmp_path: Path) -> None:
    dest = tmp_path / "aarch64"
    (dest / "usr" / "bin").mkdir(parents=True)
    (dest / "usr" / "bin" / "python3.13").write_text("")
    (dest / "usr" / "bin" / "python3.13").chmod(0o755)
    (dest / ".complete").write_text("python3.13\n")
    r = _run(tmp_path, DEBIAN_MIRROR="http://127.0.0.1:9/debian")
    assert (r.returncode, r.stdout, r.stderr) == (0, f"{dest}\n", "")
    assert not (tmp_path / "apt").exists()


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("apt-get"),
                    reason="needs root and apt-get")
def test_a_failed_download_says_so_in_one_line_and_is_not_trusted(tmp_path: Path) -> None:
    dest = tmp_path / "aarch64"
    # What an interrupted older attempt could leave: a tree without the marker.
    (dest / "usr" / "bin").mkdir(parents=True)
    (dest / "usr" / "bin" / "python3.13").write_text("")
    (dest / "usr" / "bin" / "python3.13").chmod(0o755)
    # apt retries a refused connection with growing pauses (seven seconds in
    # all); one attempt tells the same story.
    (tmp_path / "apt.conf").write_text('Acquire::Retries "0";\n')
    r = _run(tmp_path, DEBIAN_MIRROR="http://127.0.0.1:9/debian",
             APT_CONFIG=str(tmp_path / "apt.conf"))
    assert r.returncode == 1
    errors = [line for line in r.stderr.splitlines() if line.startswith("error:")]
    assert len(errors) == 1 and errors[0].startswith("error: aarch64 root: apt-get "), r.stderr
    assert r.stdout == ""
    assert not (dest / ".complete").exists()
    assert not list(tmp_path.glob(".aarch64.*"))


@pytest.mark.skipif(not (BUILT / ".complete").exists() or not shutil.which("qemu-aarch64"),
                    reason="needs the arm64 root under build/ (make test-aarch64) and qemu-user")
def test_the_root_runs_an_arm64_interpreter_that_can_start_itself() -> None:
    python = BUILT / "usr" / "local" / "bin" / "python3.13"
    code = ("import platform, subprocess, sys; print(platform.machine(), sys.executable); "
            "subprocess.run([sys.executable, '-c', 'import ssl; print(ssl.OPENSSL_VERSION)'])")
    r = subprocess.run([python, "-c", code], capture_output=True, text=True, timeout=120,
                       env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    assert r.returncode == 0, r.stderr
    first, second = r.stdout.splitlines()
    assert first == f"aarch64 {python}"
    assert second.startswith("OpenSSL 3.")
