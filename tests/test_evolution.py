import gc
import logging
import sys

import pytest

from kelvane_layer._internal import evolution
from kelvane_layer._internal.evolution import (
    build_evolution_prompt,
    parse_evolution_output,
)

LOGGER = "kelvane_layer._internal.evolution"
FAILED = "evolve_directives: failed to parse LLM response as JSON"
NOT_OBJECT = "evolve_directives: LLM response is not a JSON object"
NOT_LIST = "evolve_directives: 'proposed' field is not a list"

HEAD = (
    "You are a behavioral directive engine. Your task is to derive new behavioral rules for "
    "an AI agent based on distilled insights from its recent experience.\n\n"
)
RULES = (
    "Rules:\n"
    "- Each directive must be a single imperative sentence (\u2264 15 words).\n"
    "- Directives must be concrete and behavioral, not aspirational.\n"
    "- Do not restate or paraphrase any existing directive.\n"
    '- Anchor each rule to an observable trigger and a concrete action (e.g., "When X '
    'happens, do Y"). Avoid abstract goals.\n'
    "- If the insights yield no new actionable rules, return an empty list."
)
TAIL = (
    "\n\nRespond with JSON only \u2014 no preamble, no commentary:\n"
    '{"proposed": [{"text": "...", "source_insight_id": "..."}, ...]}\n'
)
MESSAGES = [{"role": "user", "content": "Generate directive proposals."}]


def test_module_surface():
    assert evolution.__all__ == ["build_evolution_prompt", "parse_evolution_output"]
    t = evolution._EVOLUTION_SYSTEM
    assert t.count("\n") == 19 and t.endswith("}}\n")
    assert t == (
        HEAD + "CURRENT DIRECTIVES:\n{directives_block}\n\nINSIGHTS FROM THIS REFLECTION CYCLE:\n"
        "{insights_block}\n\nDerive at most {max_per_cycle} new behavioral directives.\n\n"
        + RULES + "{style_guidance_block}"
        + TAIL.replace("{", "{{").replace("}", "}}")
    )


def test_whole_prompt_for_the_documented_example():
    system, messages = build_evolution_prompt(
        [{"id": "ins-7", "text": "Users abandon chats after long waits.", "extra": 1}],
        ["Ask for the order number first.", "Offer a callback after two failed fixes."],
        3,
        "  Keep replies under two sentences.  ",
    )
    assert system == (
        HEAD + "CURRENT DIRECTIVES:\n"
        "1. Ask for the order number first.\n"
        "2. Offer a callback after two failed fixes.\n\n"
        "INSIGHTS FROM THIS REFLECTION CYCLE:\n"
        "[ins-7]: Users abandon chats after long waits.\n\n"
        "Derive at most 3 new behavioral directives.\n\n"
        + RULES + "\n- Keep replies under two sentences." + TAIL
    )
    assert messages == MESSAGES
    assert list(messages[0]) == ["role", "content"]


def test_empty_lists_render_none_and_an_empty_block():
    system, messages = build_evolution_prompt([], [], 0)
    assert "CURRENT DIRECTIVES:\n(none)\n\nINSIGHTS FROM THIS REFLECTION CYCLE:\n\n\nDerive at most 0 " in system
    assert messages == MESSAGES


@pytest.mark.parametrize("style", [None, "", "   ", "\u3000\n\t"])
def test_blank_style_guidance_adds_nothing(style):
    assert build_evolution_prompt([], [], 5, style) == build_evolution_prompt([], [], 5)
    assert "return an empty list.\n\nRespond" in build_evolution_prompt([], [], 5, style)[0]


@pytest.mark.parametrize(
    "limit, shown", [(3, "3"), (-2, "-2"), (2.9, "2"), (-2.9, "-2"), (True, "1"), (10**30, str(10**30))]
)
def test_limit_is_truncated_toward_zero(limit, shown):
    assert f"Derive at most {shown} new" in build_evolution_prompt([], [], limit)[0]


def test_inserted_text_is_never_rescanned():
    tricky = "use {max_per_cycle} and {{x}} and {insights_block}\nline2"
    system, _ = build_evolution_prompt(
        [{"id": 12, "text": tricky}], [tricky], 4, "{style_guidance_block} }}"
    )
    assert f"\n1. {tricky}\n" in system
    assert f"\n[12]: {tricky}\n" in system
    assert "\n- {style_guidance_block} }}\n" in system
    assert "Derive at most 4 new" in system


def test_values_are_copied_as_they_stand():
    system, _ = build_evolution_prompt(
        [{"id": " a ", "text": " b \n"}, {"id": 1.5, "text": None}], [" d ", 7, "\ud800"], 1
    )
    assert "CURRENT DIRECTIVES:\n1.  d \n2. 7\n3. \ud800\n\n" in system
    assert "\n[ a ]:  b \n\n[1.5]: None\n\n" in system


@pytest.mark.parametrize(
    "args, exc",
    [
        (((), [], 1), TypeError),
        (([], "ab", 1), TypeError),
        (([], [], "3"), TypeError),
        (([], [], None), TypeError),
        (([], [], 1, 5), TypeError),
        (([], [], 1, b"x"), TypeError),
        (([["id", "text"]], [], 1), TypeError),
        (([{"text": "t"}], [], 1), KeyError),
        (([{"id": "i"}], [], 1), KeyError),
    ],
)
def test_builder_rejects_bad_arguments(args, exc):
    with pytest.raises(exc):
        build_evolution_prompt(*args)


def test_missing_key_names_the_key_and_id_is_read_first():
    with pytest.raises(KeyError) as e:
        build_evolution_prompt([{"id": "a", "text": "t"}, {}], [], 1)
    assert e.value.args == ("id",)


def test_signatures():
    import inspect

    assert str(inspect.signature(build_evolution_prompt)) == (
        "(insights, directives, max_per_cycle, style_guidance=None)"
    )
    assert str(inspect.signature(parse_evolution_output)) == "(response, insight_ids)"
    with pytest.raises(TypeError, match="from 3 to 4 positional"):
        build_evolution_prompt([], [], 1, None, None)
    with pytest.raises(TypeError, match="missing required argument 'max_per_cycle'"):
        build_evolution_prompt([], [])


def test_keyword_arguments():
    a = build_evolution_prompt(insights=[], directives=["x"], max_per_cycle=2, style_guidance="s")
    assert a == build_evolution_prompt([], ["x"], 2, "s")


# ---- parser ---------------------------------------------------------------


def run(caplog, reply, ids=frozenset()):
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        result = parse_evolution_output(reply, ids)
    return result, [(r.levelname, r.getMessage()) for r in caplog.records], caplog.records


@pytest.mark.parametrize(
    "reply",
    ['```json\n{"proposed": []}\n```', '{"proposed": []}', "{}", '  {"other": 1}  ',
     '{"proposed": [1, "x", null, [], {"text": 5}, {"text": null}, {}, {"text": ""}, {"text": " \\u3000 "}]}',
     "```json{}```", "```\n{}\n```", "\u3000```json\n{}```\n"],
)
def test_well_formed_replies_without_proposals_log_nothing(caplog, reply):
    result, logs, _ = run(caplog, reply)
    assert result == [] and logs == []


@pytest.mark.parametrize(
    "reply, message, field, value",
    [
        ('```JSON\n{"proposed": []}\n```', FAILED, "response_preview", '```JSON\n{"proposed": []}\n```'),
        ('```json\n{"proposed": []}', FAILED, "response_preview", '```json\n{"proposed": []}'),
        ("", FAILED, "response_preview", ""),
        ("[]", NOT_OBJECT, "type", "list"),
        ('"x"', NOT_OBJECT, "type", "str"),
        ("3", NOT_OBJECT, "type", "int"),
        ("NaN", NOT_OBJECT, "type", "float"),
        ("null", NOT_OBJECT, "type", "NoneType"),
        ('{"proposed": {}}', NOT_LIST, "type", "dict"),
        ('{"proposed": null}', NOT_LIST, "type", "NoneType"),
        ('{"proposed": true}', NOT_LIST, "type", "bool"),
        ('{"proposed": 1.5}', NOT_LIST, "type", "float"),
        ('{"proposed": "[]"}', NOT_LIST, "type", "str"),
    ],
)
def test_unusable_replies_log_one_warning(caplog, reply, message, field, value):
    result, logs, records = run(caplog, reply)
    assert result == []
    assert logs == [("WARNING", message)]
    assert records[0].name == LOGGER
    assert getattr(records[0], field) == value
    other = "type" if field == "response_preview" else "response_preview"
    assert not hasattr(records[0], other)


def test_preview_is_first_200_code_points_of_the_raw_reply(caplog):
    reply = "  \n" + "\U0001f600" * 100 + "x" * 397
    _, _, records = run(caplog, reply)
    assert records[0].response_preview == reply[:200]
    assert len(records[0].response_preview) == 200


def test_sources_are_checked_and_fall_back_to_the_smallest_id(caplog):
    reply = """{"proposed": [
        {"text": "keep", "source_insight_id": "a9"},
        {"text": "unknown", "source_insight_id": "zz"},
        {"text": "spaced", "source_insight_id": " a9"},
        {"text": "number", "source_insight_id": 7},
        {"text": "missing"},
        {"text": "  trimmed \\n", "source_insight_id": "b2", "extra": [1]}
    ], "other": 1}"""
    result, logs, _ = run(caplog, reply, {"b2", "a9", "a10"})
    assert logs == []
    assert result == [
        {"text": "keep", "source_insight_id": "a9"},
        {"text": "unknown", "source_insight_id": "a10"},
        {"text": "spaced", "source_insight_id": "a10"},
        {"text": "number", "source_insight_id": "a10"},
        {"text": "missing", "source_insight_id": "a10"},
        {"text": "trimmed", "source_insight_id": "b2"},
    ]
    assert all(list(p) == ["text", "source_insight_id"] for p in result)


def test_fallback_uses_code_point_order():
    reply = '{"proposed": [{"text": "t"}]}'
    ids = {"\uff41", "\U0001f600", "b", "B", "\ud800"}
    assert parse_evolution_output(reply, ids)[0]["source_insight_id"] == min(ids)


def test_no_ids_give_the_empty_source():
    reply = '{"proposed": [{"text": "a", "source_insight_id": "x"}, {"text": "b"}]}'
    assert parse_evolution_output(reply, set()) == [
        {"text": "a", "source_insight_id": ""},
        {"text": "b", "source_insight_id": ""},
    ]


def test_no_cap_and_no_deduplication():
    entries = ",".join('{"text": "same"}' for _ in range(10))
    assert len(parse_evolution_output('{"proposed": [' + entries + "]}", {"i"})) == 10


def test_source_set_kinds():
    reply = '{"proposed": [{"text": "t", "source_insight_id": "b"}]}'
    class MySet(set):
        pass
    for ids in ({"a", "b"}, frozenset({"a", "b"}), MySet({"a", "b"})):
        assert parse_evolution_output(reply, ids)[0]["source_insight_id"] == "b"
    class MyStr(str):
        pass
    (p,) = parse_evolution_output(reply, {MyStr("b")})
    assert type(p["source_insight_id"]) is str and p["source_insight_id"] == "b"


@pytest.mark.parametrize(
    "args",
    [(None, set()), (b"not json", set()), ("not json", ["a"]), ("not json", {"a": 1}),
     ("not json", None), ("not json", {"a", 1}), ("not json", frozenset({("a",)}))],
)
def test_parser_rejects_bad_arguments_before_any_work(caplog, args):
    # The reply would log a warning if it were read at all.
    with caplog.at_level(logging.DEBUG), pytest.raises(TypeError):
        parse_evolution_output(*args)
    assert caplog.records == []


def test_results_do_not_depend_on_the_logger(caplog):
    logger = logging.getLogger(LOGGER)
    replies = ["nope", "[]", '{"proposed": 1}', '{"proposed": [{"text": "x"}]}']
    enabled = [parse_evolution_output(r, {"a"}) for r in replies]
    old = logger.disabled
    logger.disabled = True
    try:
        assert [parse_evolution_output(r, {"a"}) for r in replies] == enabled
    finally:
        logger.disabled = old


def test_no_reference_leaks():
    reply = '```json\n{"proposed": [{"text": " t ", "source_insight_id": "a"}, {"text": "u"}]}\n```'
    ids = {"a", "b"}
    logging.getLogger(LOGGER).disabled = True
    try:
        for _ in range(1000):
            parse_evolution_output(reply, ids)
            parse_evolution_output("bad", ids)
            build_evolution_prompt([{"id": "a", "text": "x"}], ["d"], 3, "s")
        gc.collect()
        before = sys.getallocatedblocks(), sys.getrefcount(ids)
        for _ in range(20000):
            parse_evolution_output(reply, ids)
            parse_evolution_output("bad", ids)
            build_evolution_prompt([{"id": "a", "text": "x"}], ["d"], 3, "s")
        gc.collect()
        after = sys.getallocatedblocks(), sys.getrefcount(ids)
    finally:
        logging.getLogger(LOGGER).disabled = False
    assert after[1] == before[1]
    assert after[0] - before[0] < 200


def test_other_mappings_are_read_through_their_own_lookup():
    import types

    class Defaulting(dict):
        def __missing__(self, key):
            return f"<{key}>"

    system, _ = build_evolution_prompt(
        [types.MappingProxyType({"id": "p", "text": "proxy"}), Defaulting()], [], 1
    )
    assert "\n[p]: proxy\n[<id>]: <text>\n\n" in system


def test_parsers_called_again_from_a_log_handler():
    # A handler that parses another reply runs while the outer call is still
    # in progress on the same thread; both must see their own reply.
    inner_results = []

    class Reentrant(logging.Handler):
        def emit(self, record):
            if inner_results:
                return  # the inner "[]" logs too
            inner_results.append(
                parse_evolution_output('{"proposed": [{"text": "inner", "source_insight_id": "i"}]}', {"i"})
            )
            inner_results.append(parse_evolution_output("[]", {"i"}))

    logger = logging.getLogger(LOGGER)
    handler = Reentrant()
    logger.addHandler(handler)
    try:
        assert parse_evolution_output('{"proposed": 3}', {"o"}) == []
        outer = parse_evolution_output('{"proposed": [{"text": "outer"}]}', {"o"})
    finally:
        logger.removeHandler(handler)
    assert outer == [{"text": "outer", "source_insight_id": "o"}]
    assert inner_results[0] == [{"text": "inner", "source_insight_id": "i"}]
    assert inner_results[1] == []


def test_concurrent_threads_get_their_own_results():
    from concurrent.futures import ThreadPoolExecutor

    def work(n):
        entries = ",".join(f'{{"text": "t{n}-{k}", "source_insight_id": "s{k % 3}"}}' for k in range(n))
        for _ in range(50):
            got = parse_evolution_output('{"proposed": [' + entries + "]}", {"s0", "s1", "s2"})
            assert [p["text"] for p in got] == [f"t{n}-{k}" for k in range(n)]
        return True

    with ThreadPoolExecutor(4) as pool:
        assert all(pool.map(work, range(1, 40)))
