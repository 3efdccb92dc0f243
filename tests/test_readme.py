"""The README's Python, run as a host developer would copy it.

The call examples are the first thing a host developer tries; one that fails
as written (a parameter under the wrong name, a moved function) costs them
more than any other line of the README.
"""

import ast
import importlib
import json
import pathlib
import re

import pytest

from kelvane_layer._internal.tuning_profile import TuningProfile

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text("utf-8")


class EchoLLM:
    """The host's LLM client, answering the evolution prompt with one proposal."""

    def complete(self, system, messages):
        return json.dumps({"proposed": [{"text": "Ask for the order number once.",
                                         "source_insight_id": "ins-7"}]})


def test_every_python_block_runs_as_written():
    blocks = re.findall(r"^```python\n(.*?)^```$", README, re.M | re.S)
    assert blocks
    for code in blocks:
        # The names the README says the host supplies.
        names = {"stats": {"dreams": {"runs_7d": 7, "failure_count_7d": 3}},
                 "insights": [{"id": "ins-7", "text": "Customers repeat their order number."}],
                 "insight_ids": {"ins-7"}, "directives": ["Greet the customer by name."],
                 "llm": EchoLLM()}
        exec(compile(code, "README.md", "exec"), names)
        if "proposals" in names:
            assert names["status"].name == "OVERLOADED" and names["link"].endswith("overloaded")
            assert [p["text"] for p in names["proposals"]] == ["Ask for the order number once."]


def test_guide_examples_give_the_result_they_show():
    # Rows of the module table whose example ends in "  # result".
    rows = re.findall(r"^\| `(\w+)` \|[^|]*\| `([^`]*?)  # ([^`]*)` \|", README, re.M)
    checked = 0
    for module, code, shown in rows:
        expected = ast.literal_eval(shown)
        if not isinstance(expected, (str, int, float)):
            continue  # a shape, such as the keys of each record
        names = {"TuningProfile": TuningProfile,
                 **vars(importlib.import_module(f"kelvane_layer._internal.{module}"))}
        if not isinstance(expected, str):
            expected = pytest.approx(expected, rel=1e-12)
        assert eval(code, names) == expected, code
        checked += 1
    assert checked >= 4
