"""The core as users install it: beside a host package, alone, and from source.

The install tests take the built core wheel from KL_WHEEL, as CI sets it;
without it they are skipped.  Each builds throw-away environments with the running interpreter's
pip and never touches the network.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CORE_WHEEL = os.environ.get("KL_WHEEL")

MODULES = ("tuning_profile", "_invariants", "_defaults", "health", "extraction", "evolution",
           "rule_domains", "consolidation", "journal", "group_digest", "convergence_judge",
           "jobline")

needs_wheel = pytest.mark.skipif(not CORE_WHEEL, reason="KL_WHEEL names no built core wheel")

# A host SDK as the core meets it in the field: a regular package with its
# own __init__.py, types.py and _internal/__init__.py, installed by pip.
MOCK_HOST = {
    "kelvane_layer/__init__.py": '"""The host SDK."""\nHOST_MARK = "mock host"\n',
    "kelvane_layer/types.py": textwrap.dedent('''\
        import enum
        HOST_MARK = "mock host types"
        class CognitiveHealthStatus(enum.Enum):
            HEALTHY = "healthy"
            DRIFTING = "drifting"
            OVERLOADED = "overloaded"
            STAGNANT = "stagnant"
        '''),
    "kelvane_layer/_internal/__init__.py": '"""The host\'s own internals."""\n',
}


def _mock_host_wheel(dest: Path, extend_path: bool = False) -> Path:
    files = dict(MOCK_HOST)
    if extend_path:
        # Both of the host's regular packages would hide the core's portion.
        for init in ("kelvane_layer/__init__.py", "kelvane_layer/_internal/__init__.py"):
            files[init] += ("from pkgutil import extend_path\n"
                            "__path__ = extend_path(__path__, __name__)\n")
    info = "kelvane_layer-9.9.dist-info"
    files[f"{info}/METADATA"] = "Metadata-Version: 2.1\nName: kelvane_layer\nVersion: 9.9\n"
    files[f"{info}/WHEEL"] = ("Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\n"
                              "Tag: py3-none-any\n")
    files[f"{info}/RECORD"] = "".join(f"{name},,\n" for name in files) + f"{info}/RECORD,,\n"
    path = dest / "kelvane_layer-9.9-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as z:
        for name, text in files.items():
            z.writestr(name, text)
    return path


# The environments under test see nothing of this run's PYTHONPATH (a
# build tree) or MYPYPATH.
CLEAN = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}


def _run(*args: str | Path, check: bool = True, **kw) -> subprocess.CompletedProcess[str]:
    r = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                       **{"env": CLEAN, **kw})
    if check and r.returncode:
        pytest.fail(f"{args[0]} ... exited {r.returncode}:\n{r.stdout}{r.stderr}")
    return r


class Env:
    """A fresh venv without pip of its own, driven by the running one."""

    def __init__(self, path: Path) -> None:
        _run(sys.executable, "-m", "venv", "--without-pip", path)
        self.python = path / "bin" / "python"
        self.site = Path(_run(self.python, "-c",
                              "import sysconfig; print(sysconfig.get_path('platlib'))")
                         .stdout.strip())

    def pip(self, *args: str | Path) -> None:
        _run(sys.executable, "-m", "pip", "--python", self.python, "-q", *args,
             "--no-index", "--no-deps", "--disable-pip-version-check")

    def py(self, code: str, check: bool = True) -> subprocess.CompletedProcess[str]:
        # From outside the source tree, so nothing of it is importable.
        return _run(self.python, "-c", code, check=check, cwd=self.site.parent)

    def files(self) -> dict[str, str]:
        """Every file under site-packages/kelvane_layer with its digest."""
        top = self.site / "kelvane_layer"
        return {str(p.relative_to(self.site)): hashlib.sha256(p.read_bytes()).hexdigest()
                for p in sorted(top.rglob("*"))
                if p.is_file() and "__pycache__" not in p.parts} if top.exists() else {}


IMPORT_ALL = ("import importlib\n"
              f"for m in {MODULES!r}: importlib.import_module('kelvane_layer._internal.' + m)\n")


@needs_wheel
def test_core_installs_uninstalls_and_reinstalls_beside_a_host(tmp_path: Path) -> None:
    env = Env(tmp_path / "venv")
    env.pip("install", _mock_host_wheel(tmp_path))
    host = env.files()
    assert set(host) == {p for p in MOCK_HOST}

    env.pip("install", CORE_WHEEL)
    after = env.files()
    assert {k: after[k] for k in host} == host, "the core changed a file of the host"
    assert {k for k in after if k not in host} == {
        p for p in after if p.startswith("kelvane_layer/_internal/") and
        p.endswith((".so", ".pyi", "py.typed"))}
    out = env.py(IMPORT_ALL + textwrap.dedent("""\
        import kelvane_layer, kelvane_layer.types as types
        from kelvane_layer._internal import health
        from kelvane_layer._internal.tuning_profile import TuningProfile
        s = health.classify_cognitive_health({}, 0.0, TuningProfile())
        assert type(s) is types.CognitiveHealthStatus, type(s)
        print(kelvane_layer.HOST_MARK, types.HOST_MARK, s.value)
        """)).stdout
    assert out.split("\n")[0] == "mock host mock host types stagnant"

    # Installing the core twice (a re-run, an upgrade) leaves the host as it was.
    env.pip("install", "--force-reinstall", CORE_WHEEL)
    assert env.files() == after
    env.py(IMPORT_ALL)

    # Uninstalling removes the core's files and only those.
    _run(sys.executable, "-m", "pip", "--python", env.python, "uninstall", "-y", "-q",
         "kelvane-layer-core")
    assert env.files() == host
    assert env.py("import kelvane_layer._internal.jobline", check=False).returncode != 0
    env.py("import kelvane_layer.types, kelvane_layer._internal")


@needs_wheel
def test_core_alone_is_a_namespace_package_with_its_stubs(tmp_path: Path) -> None:
    env = Env(tmp_path / "venv")
    env.pip("install", CORE_WHEEL)
    assert not (env.site / "kelvane_layer" / "__init__.py").exists()
    out = env.py(textwrap.dedent("""\
        import kelvane_layer
        from kelvane_layer._internal import rule_domains, jobline, group_digest
        print(kelvane_layer.__file__, rule_domains.classify_directive_domain("Require 2FA"))
        try:
            import kelvane_layer._internal.health
        except ImportError as e:
            print(e.name)
        """)).stdout.split()
    # health needs the host's types module and says so.
    assert out == ["None", "security", "kelvane_layer.types"]

    if not _has_mypy():
        pytest.skip("mypy is not installed beside the tests")
    script = tmp_path / "host_script.py"
    script.write_text(textwrap.dedent("""\
        from kelvane_layer._internal.rule_domains import classify_directive_domain
        from kelvane_layer._internal.tuning_profile import TuningProfile
        domain: str = classify_directive_domain("Require 2FA")
        limit: int = TuningProfile.balanced().dream_evolve_max_per_cycle
        """))
    bad = tmp_path / "bad_script.py"
    bad.write_text("from kelvane_layer._internal.rule_domains import classify_directive_domain\n"
                   "n: int = classify_directive_domain('x')\n")
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
            "--python-executable", str(env.python)]
    # mypy must find the stubs through py.typed in site-packages alone.
    _run(*mypy, script, cwd=tmp_path)
    wrong = _run(*mypy, bad, check=False, cwd=tmp_path)
    assert 'expression has type "str"' in wrong.stdout, wrong.stdout


def _has_mypy() -> bool:
    import importlib.util
    return importlib.util.find_spec("mypy") is not None


@needs_wheel
def test_host_in_another_path_entry_needs_extend_path(tmp_path: Path) -> None:
    core = tmp_path / "core"
    env = Env(tmp_path / "venv")
    env.pip("install", "--target", core, CORE_WHEEL)
    probe = "import kelvane_layer.types, kelvane_layer._internal.health as h; print(h.__file__)"
    for extend, imports in ((False, False), (True, True)):
        host = tmp_path / f"host-{extend}"
        wheel_dir = tmp_path / f"wheel-{extend}"
        wheel_dir.mkdir()
        env.pip("install", "--target", host, _mock_host_wheel(wheel_dir, extend_path=extend))
        r = _run(env.python, "-c", probe, check=False, cwd=tmp_path,
                 env={**CLEAN, "PYTHONPATH": f"{host}:{core}"})
        assert (r.returncode == 0) is imports, r.stderr
        if imports:
            assert r.stdout.startswith(str(core))


@pytest.mark.skipif(not os.environ.get("KL_TEST_INSTALLED"),
                    reason="KL_TEST_INSTALLED is set only for a run against installed wheels")
def test_suite_runs_against_the_installed_copy() -> None:
    # CI runs this suite with both wheels installed; make sure it is not
    # quietly testing a build tree instead.
    import kelvane_layer._internal.health as h
    import kelvane_layer.cli as cli
    site = Path(sysconfig.get_path("platlib")).resolve()
    for mod in (h, cli):
        assert Path(mod.__file__).resolve().is_relative_to(site), mod.__file__


# Each file under licenses/ and the licence it puts into the expression: a
# component linked in without its text, or a text the expression does not
# name, fails here.
LICENCES = {"OpenSSL.txt": "Apache-2.0", "libc++.txt": "Apache-2.0 WITH LLVM-exception",
            "libc++abi.txt": "Apache-2.0 WITH LLVM-exception",
            "libunwind.txt": "Apache-2.0 WITH LLVM-exception", "zig-compiler-rt.txt": "MIT",
            "RapidJSON.txt": "MIT", "fast_float.txt": "(MIT OR Apache-2.0)"}


@needs_wheel
def test_wheel_carries_every_licence_its_expression_names() -> None:
    with zipfile.ZipFile(CORE_WHEEL) as z:
        names = z.namelist()
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        meta = z.read(f"{info}/METADATA").decode()
        texts = {n.removeprefix(f"{info}/licenses/"): z.read(n).decode()
                 for n in names if n.startswith(f"{info}/licenses/") and not n.endswith("/")}
    assert set(texts) == {"LICENSE", *(f"licenses/{n}" for n in LICENCES)}
    assert set(LICENCES) == {p.name for p in (ROOT / "licenses").iterdir()}
    assert "Apache License" in texts["licenses/OpenSSL.txt"]
    assert "LLVM Exceptions" in texts["licenses/libc++.txt"]
    expr = next(line.removeprefix("License-Expression: ") for line in meta.splitlines()
                if line.startswith("License-Expression: "))
    terms = set(expr.replace(" AND (", " AND ").removesuffix(")").split(" AND "))
    assert {"LicenseRef-Proprietary", *(t.strip("()") for t in LICENCES.values())} == terms


@pytest.mark.skipif(not os.environ.get("KL_TEST_INSTALLED"),
                    reason="KL_TEST_INSTALLED is set only for a run against installed wheels")
def test_pip_show_prints_the_licence_expression() -> None:
    # pip prints License-Expression from 25.0 on; older ones print an empty
    # License line for this metadata.
    out = _run(sys.executable, "-m", "pip", "show", "kelvane-layer-core").stdout
    assert "License-Expression: LicenseRef-Proprietary AND Apache-2.0 AND " in out, out


HIDE = ("/usr/include/rapidjson", "/usr/include/openssl")


def _can_hide_headers() -> bool:
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    if not all(os.path.isdir(d) for d in HIDE):
        return False
    if shutil.which("cmake", path=os.path.dirname(sys.executable)) is None:
        return False
    # A container may refuse a private mount namespace even to root.
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    return probe.returncode == 0


@pytest.mark.skipif(not _can_hide_headers(),
                    reason="needs root, a private mount namespace, cmake in the venv and the "
                           "Debian headers")
def test_missing_system_packages_are_named_in_one_message(tmp_path: Path) -> None:
    # The headers are hidden in a private mount namespace; the machine keeps them.
    empty = tmp_path / "empty"
    empty.mkdir()
    bin_dir = os.path.dirname(sys.executable)
    mounts = " && ".join(f"mount --bind {empty} {d}" for d in HIDE)
    cmd = (f"{mounts} && {bin_dir}/cmake -S {ROOT} -B {tmp_path / 'build'} -G Ninja "
           f"-DCMAKE_MAKE_PROGRAM={bin_dir}/ninja -DPython_EXECUTABLE={sys.executable}")
    r = subprocess.run(["unshare", "-m", "sh", "-c", cmd], capture_output=True, text=True)
    assert r.returncode != 0
    out = r.stdout + r.stderr
    assert "sudo apt-get install -y libssl-dev rapidjson-dev\n" in out
    assert out.count("apt-get install") == 1
    # One message, not CMake's own for the first package it failed to find.
    assert "Could NOT find" not in out and "Could not find" not in out


def _older_python() -> str | None:
    """A CPython 3.12 or older on this machine, if there is one."""
    for name in ("python3.12", "python3.11", "python3.10"):
        for d in (["/usr/bin", "/usr/local/bin"]
                  + sorted(str(p) for p in Path.home().glob(".pyenv/versions/3.1[0-2]*/bin"))):
            if os.access(os.path.join(d, name), os.X_OK):
                return os.path.join(d, name)
    return None


@pytest.mark.skipif(shutil.which("cmake", path=os.path.dirname(sys.executable)) is None
                    or _older_python() is None,
                    reason="needs cmake in the venv and a CPython older than 3.13")
def test_an_older_interpreter_is_refused_at_configure(tmp_path: Path) -> None:
    bin_dir = os.path.dirname(sys.executable)
    r = subprocess.run([f"{bin_dir}/cmake", "-S", str(ROOT), "-B", str(tmp_path / "build"),
                        "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={bin_dir}/ninja",
                        f"-DPython_EXECUTABLE={_older_python()}"],
                       capture_output=True, text=True)
    assert r.returncode != 0
    assert "kelvane_layer needs CPython 3.13 or later" in r.stderr
    # Stopped at configure: no compiler ever ran.
    assert not (tmp_path / "build" / "build.ninja").exists()
