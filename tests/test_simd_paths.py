"""Every hand-written vector path sits behind the build's KL_SIMD switch.

A build with KL_SIMD=OFF (make test-portable) must run the portable twin of
each path.  The switch reaches the code through kl/simd.hpp alone, which
turns the build's KL_SIMD and the compiler's instruction-set macros into
KL_USE_* switches; a source that tested an instruction-set macro itself
would keep its vector path in a portable build, unseen.  These checks read
the C++ sources.
"""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent / "_internal"
SWITCHBOARD = ROOT / "common/core/include/kl/simd.hpp"

# Instruction-set macros, intrinsics headers, and the names of intrinsics and
# vector types (x86 and Arm).
ISA_MACRO = re.compile(r"__(SSE|AVX|BMI|POPCNT|ARM_NEON|ARM_FEATURE|aarch64|x86_64)\w*__?")
INTRIN_HEADER = re.compile(r"#\s*include\s*<\w*intrin\.h>|#\s*include\s*<arm_neon\.h>")
INTRINSIC = re.compile(r"\b(_mm\d*_\w+|__m\d+\w*|(u?int|float|poly)\d+x\d+(x\d+)?_t)\b")
SWITCH = re.compile(r"#\s*if\s+KL_USE_(\w+)\s*$")


def _sources():
    if not ROOT.is_dir():
        pytest.skip("needs the source tree")
    return sorted(p for p in ROOT.rglob("*") if p.suffix in {".cpp", ".hpp", ".h"})


def _vector_lines(text: str):
    """(line number, line, inside a KL_USE_* branch) for each line that names
    an intrinsic.  Tracks #if nesting: only the first branch of an
    `#if KL_USE_X` counts as inside."""
    stack: list[bool] = []  # per open #if: is this branch a KL_USE_* one?
    for n, line in enumerate(text.splitlines(), 1):
        directive = line.strip()
        if re.match(r"#\s*if", directive):
            stack.append(bool(SWITCH.match(directive)))
        elif re.match(r"#\s*(else|elif)", directive):
            stack[-1] = False
        elif re.match(r"#\s*endif", directive):
            stack.pop()
        elif INTRINSIC.search(line.split("//")[0]):
            yield n, line, any(stack)


def test_only_the_switchboard_reads_instruction_set_macros():
    offenders = []
    for path in _sources():
        if path == SWITCHBOARD:
            continue
        for n, line in enumerate(path.read_text("utf-8").splitlines(), 1):
            code = line.split("//")[0]
            if ISA_MACRO.search(code) or INTRIN_HEADER.search(code):
                offenders.append(f"{path.relative_to(ROOT)}:{n}: {line.strip()}")
    assert offenders == []


def test_the_switchboard_needs_the_build_setting_and_honours_it():
    text = SWITCHBOARD.read_text("utf-8")
    assert re.search(r"#if !defined\(KL_SIMD\)\s*\n#error", text)
    assert "#if KL_SIMD && defined(__SSE2__)" in text


def test_every_intrinsic_lies_inside_a_switch_and_has_a_portable_twin():
    seen = 0
    for path in _sources():
        text = path.read_text("utf-8")
        for n, line, inside in _vector_lines(text):
            seen += 1
            assert inside, f"{path.relative_to(ROOT)}:{n}: outside #if KL_USE_*: {line.strip()}"
        if path != SWITCHBOARD and re.search(r"^\s*#\s*if\s+KL_USE_", text, re.M):
            assert '#include "kl/simd.hpp"' in text, path
    assert seen, "no vector path found: the patterns above have gone stale"


def test_the_line_tracker_sees_a_path_outside_its_switch():
    text = "\n".join([
        "#if KL_USE_SSE2", "__m128i a = _mm_set1_epi8(1);", "#else",
        "int b = 0;  // _mm_ in a comment", "#endif", "__m128i c;",
    ])
    assert [(n, inside) for n, _, inside in _vector_lines(text)] == [(2, True), (6, False)]
