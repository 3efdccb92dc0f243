"""The shipped stubs: their docstrings are the modules' own, and they type-check
with and without the host.

The stubs are taken from beside the imported modules (the build tree, or an
installed copy), so these tests see what an editor and a type checker see.
"""

import ast
import importlib
import importlib.util
import inspect
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import kelvane_layer._internal.tuning_profile as tuning_profile

MODULES = ["tuning_profile", "_invariants", "_defaults", "health", "extraction", "evolution",
           "rule_domains", "consolidation", "journal", "group_digest", "convergence_judge",
           "jobline"]
STUB_DIR = Path(tuning_profile.__file__).parent
STANDIN_TYPES = Path(__file__).resolve().parent.parent / "standin/src/kelvane_layer/types.py"
# Constants that hold a balanced profile value under another name than the field's.
FIELD_OF = {"MAX_CONSOLIDATION_INPUTS": "consolidation_max_inputs",
            "DEFAULT_CONSOLIDATION_MIN_SALIENCE": "consolidation_min_salience",
            "TIER2_DEDUP_THRESHOLD": "tier2_dedup_threshold"}


def _stub(name: str) -> ast.Module:
    return ast.parse((STUB_DIR / f"{name}.pyi").read_text(encoding="utf-8"))


def _constants(tree: ast.Module) -> dict[str, str | None]:
    """Each module-level annotated name with the string statement after it, if any."""
    out: dict[str, str | None] = {}
    for node, nxt in zip(tree.body, [*tree.body[1:], None]):
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            doc = None
            if (isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant)
                    and isinstance(nxt.value.value, str)):
                doc = inspect.cleandoc(nxt.value.value)
            out[node.target.id] = doc
    return out


def _definitions(body: list[ast.stmt], prefix: str = ""):
    """(dotted name, node) of every public class and function, members included."""
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.name.startswith("_"):
            yield prefix + node.name, node
            if isinstance(node, ast.ClassDef):
                yield from _definitions(node.body, f"{prefix}{node.name}.")


# --- docstrings -----------------------------------------------------------------


@pytest.mark.parametrize("name", MODULES)
def test_stub_docstrings_are_the_modules_own(name):
    module = importlib.import_module(f"kelvane_layer._internal.{name}")
    tree = _stub(name)
    # (where, stub text, run-time text) for each definition with a run-time object.
    pairs = [("module", ast.get_docstring(tree), module.__doc__)]
    for dotted, node in _definitions(tree.body):
        owner, _, attr = dotted.rpartition(".")
        if owner and not hasattr(module, owner):
            continue  # a member of a type-checking-only class
        scope = vars(getattr(module, owner)) if owner else vars(module)
        if attr in scope:  # type-checking-only classes have no run-time text
            pairs.append((dotted, ast.get_docstring(node), scope[attr].__doc__))
    different = [where for where, stub, runtime in pairs
                 if stub is None or runtime is None or stub != inspect.cleandoc(runtime)]
    assert not different, f"{name}.pyi differs from the module (run `make stubs`): {different}"
    # No C signature header may reach an editor.
    assert not [d for _, d, _ in pairs if d and "\n--\n" in d]


def test_constant_docstrings_follow_their_sources():
    profile = tuning_profile.TuningProfile()
    invariants = _constants(_stub("_invariants"))
    checked = 0
    for name in ("_defaults", "consolidation"):
        module = importlib.import_module(f"kelvane_layer._internal.{name}")
        for const, doc in _constants(_stub(name)).items():
            if const in invariants:
                assert doc == invariants[const], const
                continue
            field = FIELD_OF.get(const, const.lower())
            if hasattr(profile, field):
                assert getattr(module, const) == getattr(profile, field)
                field_doc = inspect.cleandoc(vars(tuning_profile.TuningProfile)[field].__doc__)
                assert doc is not None and doc.startswith(field_doc), const
                checked += 1
    assert checked == 27  # 24 in _defaults, 3 in consolidation


@pytest.mark.parametrize("name", MODULES)
def test_every_public_stub_definition_has_a_docstring(name):
    tree = _stub(name)
    module = importlib.import_module(f"kelvane_layer._internal.{name}")
    missing = [dotted for dotted, node in _definitions(tree.body) if not ast.get_docstring(node)]
    missing += [const for const, doc in _constants(tree).items()
                if const in module.__all__ and not doc]
    assert ast.get_docstring(tree) and not missing, missing


# --- type checkers, with and without the host -----------------------------------


def _tool(module: str) -> None:
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed beside the tests")


def _core_tree(root: Path, host: bool) -> Path:
    """The core's files as the core wheel lays them out, beside a typed host or not."""
    internal = root / "kelvane_layer" / "_internal"
    internal.mkdir(parents=True)
    for f in STUB_DIR.iterdir():
        if f.suffix in (".pyi", ".so") or f.name == "py.typed":
            (internal / f.name).symlink_to(f.resolve())
    if host:
        # The host SDK's side: regular packages at both levels, typed.
        (root / "kelvane_layer" / "__init__.py").write_text('"""The host."""\n')
        (root / "kelvane_layer" / "py.typed").write_text("")
        (internal / "__init__.py").write_text('"""The host\'s own internals."""\n')
        shutil.copy(STANDIN_TYPES, root / "kelvane_layer" / "types.py")
    return root


@pytest.fixture
def bare_python(tmp_path: Path) -> Path:
    """An interpreter with nothing installed: the checkers see only the tree
    under test, never a stand-in or a core installed beside the tests."""
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", tmp_path / "bare"],
                   check=True)
    return tmp_path / "bare" / "bin" / "python"


def _check(args: list[str | Path], cwd: Path, **env: str) -> subprocess.CompletedProcess[str]:
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    return subprocess.run([sys.executable, "-m", *map(str, args)], capture_output=True,
                          text=True, cwd=cwd, env={**clean, **env})


def _mypy(python: Path, tree: Path, *files: str | Path, cwd: Path):
    # MYPYPATH, unlike an installed copy, reports errors inside the stubs too.
    return _check(["mypy", "--strict", "--no-incremental", "--python-executable", python,
                   *files], cwd, MYPYPATH=str(tree))


def _pyright(python: Path, tree: Path, *args: str | Path,
             cwd: Path) -> subprocess.CompletedProcess[str]:
    # --verifytypes ignores --pythonpath and asks the `python` on PATH for
    # the search paths: the bare one goes first, or a machine without a
    # `python` command (Debian's python3.14) finds no package at all.
    path = f"{python.parent}{os.pathsep}{os.environ.get('PATH', '')}"
    return _check(["pyright", "--pythonpath", python, *args], cwd,
                  PYTHONPATH=str(tree), PYRIGHT_PYTHON_IGNORE_WARNINGS="1", PATH=path)


USE_HEALTH = textwrap.dedent("""\
    from typing import Any, assert_type
    from kelvane_layer._internal import health, rule_domains
    from kelvane_layer._internal.tuning_profile import TuningProfile

    profile = TuningProfile()
    score: float = health.compute_kelvane_score({}, profile)
    assert_type(health.classify_cognitive_health({}, score, profile), Any)
    domain: str = rule_domains.classify_directive_domain("Require 2FA")
    """)


def test_without_a_host_the_health_status_is_any_and_no_checker_errs(tmp_path, bare_python):
    _tool("mypy")
    _tool("pyright")
    tree = _core_tree(tmp_path / "tree", host=False)
    (tmp_path / "use.py").write_text(USE_HEALTH)
    health_stub = tree / "kelvane_layer/_internal/health.pyi"
    r = _mypy(bare_python, tree, "use.py", cwd=tmp_path)
    assert r.returncode == 0, r.stdout
    # With the stub named, pyright reports errors inside it too.
    r = _pyright(bare_python, tree, "use.py", health_stub, cwd=tmp_path)
    assert r.returncode == 0, r.stdout


USE_HOST_ENUM = textwrap.dedent("""\
    # pyright: strict
    from typing import assert_never
    from kelvane_layer._internal import health
    from kelvane_layer._internal.tuning_profile import TuningProfile
    from kelvane_layer.types import CognitiveHealthStatus

    status: CognitiveHealthStatus = health.classify_cognitive_health({}, 0.5, TuningProfile())
    match status:
        case CognitiveHealthStatus.HEALTHY | CognitiveHealthStatus.DRIFTING:
            pass
        case CognitiveHealthStatus.OVERLOADED | CognitiveHealthStatus.STAGNANT:
            pass
        case _:
            assert_never(status)
    link: str | None = health.remedy_url_for(status)
    """)


def test_beside_a_typed_host_the_classifier_returns_the_host_enum(tmp_path, bare_python):
    _tool("mypy")
    _tool("pyright")
    tree = _core_tree(tmp_path / "tree", host=True)
    (tmp_path / "use.py").write_text(USE_HOST_ENUM)
    health_stub = tree / "kelvane_layer/_internal/health.pyi"
    # The stub's ignore must not turn into an unused-ignore error now that
    # the import resolves.
    r = _mypy(bare_python, tree, "use.py", health_stub, cwd=tmp_path)
    assert r.returncode == 0, r.stdout
    r = _pyright(bare_python, tree, "use.py", cwd=tmp_path)
    assert r.returncode == 0, r.stdout


def test_verifytypes_beside_a_host_is_complete_and_documented(tmp_path, bare_python):
    # Only a host's regular kelvane_layer/_internal package lets pyright
    # resolve the whole package; the core alone is a namespace package,
    # which --verifytypes cannot take (see the README).
    _tool("pyright")
    tree = _core_tree(tmp_path / "tree", host=True)
    r = _pyright(bare_python, tree, "--verifytypes", "kelvane_layer._internal",
                 "--ignoreexternal", "--outputjson", cwd=tmp_path)
    report = json.loads(r.stdout)["typeCompleteness"]
    gaps = [(s["name"], [d["message"] for d in s["diagnostics"]])
            for s in report["symbols"] if s["diagnostics"]]
    assert report["completenessScore"] == 1 and not gaps, gaps
    assert (report["missingFunctionDocStringCount"], report["missingClassDocStringCount"],
            report["missingDefaultParamCount"]) == (0, 0, 0)
    assert report["exportedSymbolCounts"]["withKnownType"] > 200
