"""Write the built modules' own docstrings into the shipped stubs.

    PYTHONPATH=build/dev/pkg python tools/stubdocs.py [--check] [STUB_DIR]

(`make stubs` runs it against the developer build.)  For a compiled module
the stub is all that an editor shows on hover, so every definition in it
should carry the text that help() shows at run time.  That text is written
once, in each module.cpp; this script copies it into the .pyi files in
place, leaving everything else in them (the types, the comments, the order)
as written by hand.

Written from the built modules:

* the module docstring;
* every public class, function, method, class method and property that
  exists at run time: its ``__doc__``, less the text-signature header
  ``name(...)\\n--\\n\\n`` of a C function;
* a module constant that holds a balanced profile value: the docstring of
  that TuningProfile field, as an attribute docstring;
* the structural invariants that ``_defaults`` re-exports: the docstrings
  written for them in ``_invariants.pyi``;
* a parameter default that is a literal or ``...`` in a stub: the default of
  the run-time signature, when that is a plain literal (so that a hover
  shows, say, the balanced values of ``TuningProfile()`` rather than ``...``).

What has no text at run time (type-checking-only classes, the other module
constants) keeps its hand-written docstring.  A public name whose run-time
docstring is missing is an error: the fix belongs in module.cpp.  --check
writes nothing and exits 1 when a stub is out of date.
"""

from __future__ import annotations

import argparse
import ast
import importlib
import inspect
import re
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

PACKAGE = "kelvane_layer._internal"
STUBS = Path(__file__).resolve().parent.parent / "src" / "kelvane_layer" / "_internal"

# Constants named otherwise than the profile field whose balanced value they
# hold (a constant named after its field in upper case is found by name).
FIELD_OF = {
    ("consolidation", "MAX_CONSOLIDATION_INPUTS"): "consolidation_max_inputs",
    ("consolidation", "DEFAULT_CONSOLIDATION_MIN_SALIENCE"): "consolidation_min_salience",
    ("consolidation", "TIER2_DEDUP_THRESHOLD"): "tier2_dedup_threshold",
}


class StubDocError(Exception):
    """A stub and its module do not correspond: nothing is written."""


def strip_signature(name: str, doc: str) -> str:
    """`doc` without a leading ``name(...)\\n--\\n\\n`` header.

    CPython drops a well-formed header from ``__doc__`` already; this also
    catches one it did not recognise, which must not reach an editor.
    """
    m = re.match(re.escape(name) + r"\(.*?\)\n--\n\n", doc, re.DOTALL)
    return doc[m.end():] if m else doc


def runtime_doc(name: str, obj: object) -> str:
    doc = getattr(obj, "__doc__", None)
    if not isinstance(doc, str) or not doc.strip():
        raise StubDocError(f"{name} has no docstring at run time; write one in its module.cpp")
    return strip_signature(name.rpartition(".")[2], doc)


def field_doc_of_constant(module: ModuleType, name: str) -> tuple[str, str] | None:
    """(field, docstring) of the profile field whose balanced value `name` holds."""
    from kelvane_layer._internal.tuning_profile import TuningProfile

    short = module.__name__.rpartition(".")[2]
    field = FIELD_OF.get((short, name), name.lower())
    descriptor = vars(TuningProfile).get(field)
    if descriptor is None:
        return None
    balanced = getattr(TuningProfile(), field)
    if getattr(module, name) != balanced:
        raise StubDocError(f"{module.__name__}.{name} is not the balanced {field} ({balanced!r})")
    return field, runtime_doc(f"TuningProfile.{field}", descriptor)


def constant_docs(module: ModuleType, stub_dir: Path) -> dict[str, str]:
    """Attribute docstrings of the module's constants that have a source."""
    docs: dict[str, str] = {}
    invariants = importlib.import_module(f"{PACKAGE}._invariants")
    shared = {}
    if module is not invariants:
        tree = ast.parse((stub_dir / "_invariants.pyi").read_text(encoding="utf-8"))
        shared = {name: doc for name, _node, doc in _attribute_docstrings(tree)
                  if doc is not None}
    for name in getattr(module, "__all__", ()):
        value = getattr(module, name)
        if callable(value):
            continue
        found = field_doc_of_constant(module, name)
        if found:
            field, doc = found
            docs[name] = f"{doc}\n\nThe balanced value of ``TuningProfile.{field}``."
        elif name in shared and getattr(invariants, name, None) is value:
            docs[name] = shared[name]
    return docs


# --- the stub side -----------------------------------------------------------


@dataclass
class Edit:
    start: int  # byte offsets into the stub
    end: int
    text: str


def _string_of(node: ast.stmt | None) -> str | None:
    """The text of a bare string statement (a docstring), else None."""
    if (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)
            and isinstance(node.value.value, str)):
        return node.value.value
    return None


def _is_docstring(node: ast.stmt) -> bool:
    return _string_of(node) is not None


def _attribute_docstrings(tree: ast.Module) -> Iterator[tuple[str, ast.AnnAssign, str | None]]:
    """(name, AnnAssign node, docstring or None) of each module-level constant."""
    body = tree.body
    for i, node in enumerate(body):
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            yield node.target.id, node, _string_of(body[i + 1] if i + 1 < len(body) else None)


def render(doc: str, indent: str) -> str:
    """`doc` as a triple-quoted literal for a body indented by `indent`."""
    text = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if text.endswith('"'):
        text = text[:-1] + '\\"'
    lines = text.split("\n")
    if len(lines) == 1:
        return f'"""{text}"""'
    rest = [indent + line if line.strip() else "" for line in lines[1:]]
    return '"""' + "\n".join([lines[0], *rest]) + "\n" + indent + '"""'


class Stub:
    def __init__(self, source: bytes) -> None:
        self.source = source
        self.tree = ast.parse(source)
        self.line_starts = [0]
        for line in source.split(b"\n")[:-1]:
            self.line_starts.append(self.line_starts[-1] + len(line) + 1)
        self.edits: list[Edit] = []

    def offset(self, line: int, col: int) -> int:
        return self.line_starts[line - 1] + col

    def span(self, node: ast.stmt | ast.expr) -> tuple[int, int]:
        assert node.end_lineno is not None and node.end_col_offset is not None
        return (self.offset(node.lineno, node.col_offset),
                self.offset(node.end_lineno, node.end_col_offset))

    def set_docstring(self, node: ast.Module | ast.ClassDef | ast.FunctionDef, doc: str) -> None:
        body = node.body
        indent = "" if isinstance(node, ast.Module) else " " * (node.col_offset + 4)
        literal = render(doc, indent)
        first = body[0] if body else None
        if first is not None and _is_docstring(first):
            start, end = self.span(first)
            self.edits.append(Edit(start, end, literal))
            return
        if isinstance(node, ast.Module):
            self.edits.append(Edit(0, 0, literal + "\n\n"))
            return
        assert first is not None
        only_ellipsis = (len(body) == 1 and isinstance(first, ast.Expr)
                         and isinstance(first.value, ast.Constant)
                         and first.value.value is Ellipsis)
        start, end = self.span(first)
        if only_ellipsis:
            # `def f() -> T: ...` becomes a def whose body is the docstring.
            colon = start
            while self.source[colon - 1:colon] in (b" ", b"\t"):
                colon -= 1
            if self.source[colon - 1:colon] == b":":
                self.edits.append(Edit(colon, end, "\n" + indent + literal))
            else:
                self.edits.append(Edit(start, end, literal))
            return
        # A body with members: the docstring goes first, on a line of its own.
        decorators = getattr(first, "decorator_list", [])
        line = (decorators[0] if decorators else first).lineno
        at = self.line_starts[line - 1]
        self.edits.append(Edit(at, at, indent + literal + "\n\n"))

    def set_defaults(self, node: ast.FunctionDef, signature: inspect.Signature) -> None:
        args = node.args
        positional = [*args.posonlyargs, *args.args]
        pairs = [*zip(positional[len(positional) - len(args.defaults):], args.defaults),
                 *((a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None)]
        for arg, default in pairs:
            param = signature.parameters.get(arg.arg)
            if not isinstance(default, ast.Constant) or param is None:
                continue
            value = param.default
            literal = _literal(value)
            if literal is None:
                continue
            current = default.value
            if current is Ellipsis or type(current) is not type(value) or current != value:
                start, end = self.span(default)
                self.edits.append(Edit(start, end, literal))

    def set_attribute_docstring(self, name: str, doc: str) -> None:
        for target, node, _ in _attribute_docstrings(self.tree):
            if target != name:
                continue
            i = self.tree.body.index(node)
            nxt = self.tree.body[i + 1] if i + 1 < len(self.tree.body) else None
            if nxt is not None and _is_docstring(nxt):
                start, end = self.span(nxt)
                self.edits.append(Edit(start, end, render(doc, "")))
            else:
                # On the line after the constant (and after its comment).
                at = self.line_starts[node.end_lineno or node.lineno]
                self.edits.append(Edit(at, at, render(doc, "") + "\n"))
            return
        raise StubDocError(f"no annotated constant {name} in the stub")

    def result(self) -> bytes:
        out = self.source
        for e in sorted(self.edits, key=lambda e: e.start, reverse=True):
            out = out[:e.start] + e.text.encode("utf-8") + out[e.end:]
        return out


def _literal(value: object) -> str | None:
    """`value` as stub source, if it is a plain literal that a stub may hold."""
    if value is None or type(value) in (bool, int, float):
        return repr(value)
    if type(value) is str and len(value) <= 50:
        text = repr(value)
        return f'"{value}"' if text == f"'{value}'" and '"' not in value else text
    return None


def _signature(obj: Callable[..., object]) -> inspect.Signature:
    try:
        return inspect.signature(obj)
    except (TypeError, ValueError):
        return inspect.Signature()


def _public(name: str) -> bool:
    return not name.startswith("_")


def update(path: Path, module: ModuleType) -> bytes:
    """The stub at `path` with the docstrings of `module` written in."""
    stub = Stub(path.read_bytes())
    stub.set_docstring(stub.tree, runtime_doc(module.__name__, module))
    for node in stub.tree.body:
        if not isinstance(node, (ast.FunctionDef, ast.ClassDef)) or not _public(node.name):
            continue
        if not hasattr(module, node.name):
            continue  # for type checkers only: its docstring is the stub's own
        obj = getattr(module, node.name)
        qualname = f"{module.__name__}.{node.name}"
        stub.set_docstring(node, runtime_doc(qualname, obj))
        if isinstance(node, ast.FunctionDef):
            stub.set_defaults(node, _signature(obj))
        if isinstance(node, ast.ClassDef):
            members = vars(obj)
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and member.name == "__new__":
                    stub.set_defaults(member, _signature(obj))
                if isinstance(member, ast.FunctionDef) and _public(member.name):
                    if member.name not in members:
                        raise StubDocError(f"{qualname}.{member.name} is not defined at run time")
                    stub.set_docstring(
                        member, runtime_doc(f"{qualname}.{member.name}", members[member.name]))
    for name, doc in constant_docs(module, path.parent).items():
        stub.set_attribute_docstring(name, doc)
    new = stub.result()
    ast.parse(new)  # a broken stub is never written
    return new


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("stub_dir", nargs="?", type=Path, default=STUBS)
    parser.add_argument("--check", action="store_true",
                        help="write nothing; exit 1 when a stub is out of date")
    args = parser.parse_args(argv)
    stale = []
    try:
        for path in sorted(args.stub_dir.glob("*.pyi")):
            module = importlib.import_module(f"{PACKAGE}.{path.stem}")
            new = update(path, module)
            if new != path.read_bytes():
                stale.append(path.name)
                if not args.check:
                    path.write_bytes(new)
    except StubDocError as e:
        print(f"stubdocs: {e}", file=sys.stderr)
        return 2
    if stale:
        verb = "out of date" if args.check else "rewritten"
        print(f"stubdocs: {verb}: {', '.join(stale)}", file=sys.stderr)
    return 1 if stale and args.check else 0


if __name__ == "__main__":
    sys.exit(main())
