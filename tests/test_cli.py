import functools
import io
import json
import math
import os
import subprocess
import sys
import types
from importlib import resources

import pytest
from _reference_models import clamp
from hypothesis import example, given
from hypothesis import strategies as st

from kelvane_layer import cli
from kelvane_layer._internal import health
from kelvane_layer._internal.tuning_profile import TuningProfile, replace

SAMPLE = {
    "memory": {"event_type_counts": {"a": 1, "b": 1}, "reinforced_count": 0, "total_memories": 0,
               "captures_7d": 0},
    "dreams": {"runs_7d": 4, "failure_count_7d": 1},
    "critic": {"pass_rate_7d": 0.5},
}


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def write(tmp_path, text, name="stats.json"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def test_health_default_uses_bundled_sample(capsys):
    code, out, err = run(capsys, "health")
    assert code == 0 and err == ""
    assert "bundled sample" in out and "kelvane score" in out
    for label in ("memory diversity", "directive coherence", "dream health",
                  "reinforcement ratio", "journal cadence", "classification", "troubleshooting"):
        assert label in out


def test_health_json_matches_the_module(capsys, tmp_path):
    path = write(tmp_path, json.dumps(SAMPLE))
    code, out, _ = run(capsys, "health", path, "--json", "--profile", "research")
    assert code == 0
    report = json.loads(out)
    profile = TuningProfile.for_research()
    score = health.compute_kelvane_score(SAMPLE, profile)
    assert report["kelvane_score"] == score
    assert report["classification"] == "stagnant"
    assert report["remedy_url"] == health.REMEDY_URL_BASE + "/stagnant"
    assert report["sub_scores"] == {
        "memory_diversity": 1.0, "directive_coherence": 0.5, "dream_health": 0.75,
        "reinforcement_ratio": 0.0, "journal_frequency": 0.0,
    }
    # The weights are the profile's, scaled to sum to 1, and the shares
    # (weight x sub-score) add up to the score.
    assert report["weights"] == pytest.approx({
        "memory_diversity": 0.25, "directive_coherence": 0.2, "dream_health": 0.25,
        "reinforcement_ratio": 0.2, "journal_frequency": 0.1})
    assert report["shares"] == pytest.approx(
        {k: report["weights"][k] * v for k, v in report["sub_scores"].items()})
    assert sum(report["shares"].values()) == pytest.approx(score)
    assert report["decided_by"]["rule"] == 3 and report["warnings"] == []


def test_health_text_shows_link_for_unhealthy(capsys, tmp_path):
    code, out, _ = run(capsys, "health", write(tmp_path, json.dumps(SAMPLE)))
    assert code == 0
    assert "stagnant" in out and health.REMEDY_URL_BASE + "/stagnant" in out


def test_profiles_side_by_side(capsys):
    code, out, _ = run(capsys, "profiles", "--table")
    assert code == 0
    header, *rows = out.splitlines()
    assert header.split() == ["field", *cli.PROFILES]
    by_field = {r.split()[0]: r.split()[1:] for r in rows if r and r.split()[0] in
                TuningProfile.__match_args__}
    assert len(by_field) == len(TuningProfile.__match_args__)
    assert by_field["archive_days"] == ["90", "180*", "60*", "90", "365*", "90"]
    assert by_field["dream_evolve_temperature"] == ["0.2", "0.4*", "0.1*", "0.2", "0.15*", "0.2"]
    assert not any("*" in cell for cell in by_field["kelvane_dream_health_weight"])


def test_plain_profiles_lists_each_archetypes_changes_within_100_columns(capsys):
    code, out, _ = run(capsys, "profiles")
    assert code == 0
    assert max(map(len, out.splitlines())) <= 100
    assert out == run(capsys, "profiles", "--diff")[1]
    heads = [line.split(":")[0] for line in out.splitlines() if "differ from balanced" in line]
    assert heads == [n for n in cli.PROFILES if n != "balanced"]


def test_profiles_table_takes_no_name(capsys):
    code, _, err = run(capsys, "profiles", "research", "--table")
    assert code == 2 and len(err.strip().splitlines()) == 1


def test_profiles_json(capsys):
    code, out, _ = run(capsys, "profiles", "--json")
    data = json.loads(out)
    assert code == 0 and list(data) == list(cli.PROFILES)
    assert data["consumer_support"]["dream_evolve_style_guidance"].endswith("manipulated by.")


def test_demo_passes_options_through(capsys, monkeypatch):
    seen = {}

    def fake_main(args):
        seen.update(profile=args.profile, json=args.json)
        return 0

    import kelvane_layer

    fake = types.ModuleType("kelvane_layer.demo")
    fake.main = fake_main
    monkeypatch.setitem(sys.modules, "kelvane_layer.demo", fake)
    monkeypatch.setattr(kelvane_layer, "demo", fake, raising=False)
    code, _, _ = run(capsys, "demo", "--json", "--profile", "coding_assistant")
    assert code == 0 and seen == {"profile": "coding_assistant", "json": True}


@pytest.mark.parametrize(
    "content, argv, fragment",
    [
        (None, ["health", "/no/such/file.json"], "cannot read"),
        ("{", ["health", "{path}"], "invalid JSON"),
        (b"\xff\xfe{}", ["health", "{path}"], "not UTF-8"),
        ("[1, 2]", ["health", "{path}"], "expected a JSON object"),
        ('{"memory": [1]}', ["health", "{path}"], "stats['memory'] must be a mapping"),
        ('{"dreams": {"runs_7d": "many"}}', ["health", "{path}"], "unusable statistics"),
        ('{"journals": {"entries_7d": 1e999}}', ["health", "{path}"], "unusable statistics"),
        ('{"memory": {"event_type_counts": {"a": null}}}', ["health", "{path}"], "unusable"),
        ("[" * 100000, ["health", "{path}"], "invalid JSON"),
        (None, ["health", "--profile", "nope"], "unknown profile 'nope'"),
        (None, ["demo", "--profile", "nope"], "unknown profile 'nope'"),
        (None, ["frobnicate"], "invalid choice"),
        (None, [], "required"),
        (None, ["health", "--bogus"], "unrecognized arguments"),
    ],
)
def test_bad_input_is_one_line_and_status_2(capsys, tmp_path, content, argv, fragment):
    path = tmp_path / "stats.json"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content, encoding="utf-8")
    code, out, err = run(capsys, *[a.replace("{path}", str(path)) for a in argv])
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and fragment in err and "Traceback" not in err


def test_module_entry_point():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    ok = subprocess.run([sys.executable, "-m", "kelvane_layer", "health", "--json"],
                        capture_output=True, text=True, env=env, check=False)
    assert ok.returncode == 0 and json.loads(ok.stdout)["source"] == "bundled sample"
    bad = subprocess.run([sys.executable, "-m", "kelvane_layer", "health", "/no/such.json"],
                         capture_output=True, text=True, env=env, check=False)
    assert bad.returncode == 2 and bad.stderr.count("\n") == 1 and bad.stdout == ""


# --- version, standard input, strict JSON -------------------------------------


def test_version_and_help_return_status_0(capsys):
    from importlib import metadata

    import kelvane_layer

    try:
        expected = metadata.version("kelvane-layer-core")
    except metadata.PackageNotFoundError:
        expected = kelvane_layer.__version__
    assert run(capsys, "--version") == (0, f"python -m kelvane_layer {expected}\n", "")
    code, out, _ = run(capsys, "--help")
    assert code == 0 and "strict JSON" in out and "NO_COLOR" in out


def feed_stdin(monkeypatch, data):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data), encoding="ascii"))


def test_health_reads_stdin_as_utf8_like_a_file(capsys, monkeypatch, tmp_path):
    # The wrapper's own encoding is ASCII: the bytes must be decoded as UTF-8
    # whatever the locale would say.
    stats = dict(SAMPLE, memory={**SAMPLE["memory"], "event_type_counts": {"é": 1, "ü": 2}})
    text = json.dumps(stats, ensure_ascii=False)
    _, from_file, _ = run(capsys, "health", write(tmp_path, text), "--json")
    feed_stdin(monkeypatch, text.encode("utf-8"))
    code, from_stdin, err = run(capsys, "health", "-", "--json")
    assert code == 0 and err == ""
    a, b = json.loads(from_file), json.loads(from_stdin)
    assert b.pop("source") == "stdin" and a.pop("source") != "stdin" and a == b


@pytest.mark.parametrize("data, fragment", [(b"\xff{}", "stdin: not UTF-8"),
                                            (b"{", "stdin: invalid JSON"),
                                            (b"", "stdin: invalid JSON"),
                                            (b"[]", "stdin: expected a JSON object")])
def test_bad_stdin_is_one_line_and_status_2(capsys, monkeypatch, data, fragment):
    feed_stdin(monkeypatch, data)
    code, out, err = run(capsys, "health", "-")
    assert code == 2 and out == "" and err.count("\n") == 1 and fragment in err


def refuse_constant(name):
    raise ValueError(f"not strict JSON: {name}")


@pytest.mark.parametrize("literal", ["NaN", "Infinity", "-Infinity"])
def test_health_json_is_strict_for_non_finite_statistics(capsys, monkeypatch, literal):
    feed_stdin(monkeypatch, b'{"critic": {"pass_rate_7d": %s}}' % literal.encode())
    code, out, _ = run(capsys, "health", "-", "--json")
    report = json.loads(out, parse_constant=refuse_constant)
    assert code == 0 and report["sub_scores"]["directive_coherence"] is None
    assert isinstance(report["kelvane_score"], float)


def test_json_text_nulls_every_non_finite_number():
    value = {"a": [1.5, float("nan"), (float("inf"), {"b": -float("inf")})], "c": "NaN", "d": 2}
    assert json.loads(cli.json_text(value), parse_constant=refuse_constant) == {
        "a": [1.5, None, [None, {"b": None}]], "c": "NaN", "d": 2}


# --- statistics the health functions do not read ------------------------------


def test_health_warns_about_unknown_sections_and_keys(capsys, monkeypatch):
    stats = {"memroy": {"total_memories": 3}, "memory": {"total_memory": 1, "captures_7d": 4},
             "critic": {"pass_rate_7d": 0.5, "pass_rate": 1}, "extra": 1}
    feed_stdin(monkeypatch, json.dumps(stats).encode())
    code, out, err = run(capsys, "health", "-", "--json")
    assert code == 0 and json.loads(out)["source"] == "stdin"
    assert err.splitlines() == [
        "python -m kelvane_layer: warning: stdin: unknown statistics section 'memroy', "
        "ignored; did you mean 'memory'?",
        "python -m kelvane_layer: warning: stdin: unknown statistics key 'memory.total_memory', "
        "ignored; did you mean 'total_memories'?",
        "python -m kelvane_layer: warning: stdin: unknown statistics key 'critic.pass_rate', "
        "ignored; did you mean 'pass_rate_7d'?",
        "python -m kelvane_layer: warning: stdin: unknown statistics section 'extra', ignored",
    ]


def test_unusable_statistics_give_only_the_error_line(capsys, tmp_path):
    path = write(tmp_path, '{"memroy": {}, "dreams": {"runs_7d": "many"}}')
    code, _, err = run(capsys, "health", path)
    assert code == 2 and err.count("\n") == 1 and "warning" not in err


def test_library_scores_unknown_sections_silently(caplog, recwarn):
    stats = {"memroy": {"total_memories": 3}, "memory": {"total_memory": 1}}
    profile = TuningProfile()
    with caplog.at_level("DEBUG"):
        score = health.compute_kelvane_score(stats, profile)
        health.classify_cognitive_health(stats, score, profile)
    assert score == health.compute_kelvane_score({}, profile)
    assert caplog.records == [] and len(recwarn) == 0


def test_statistics_keys_are_documented_everywhere():
    # One table in four places: the command line's, the module docstring, the
    # stub's TypedDicts and the README's host guide.
    import ast
    import pathlib
    import re

    root = pathlib.Path(__file__).resolve().parent.parent
    stub = ast.parse((root / "src/kelvane_layer/_internal/health.pyi").read_text("utf-8"))
    classes = {n.name: n for n in stub.body if isinstance(n, ast.ClassDef)}

    def fields(cls):
        return {a.target.id: a.annotation for a in cls.body if isinstance(a, ast.AnnAssign)}

    sections = {name: ast.unparse(t) for name, t in fields(classes["HealthStats"]).items()}
    assert list(sections) == list(cli.STATS_KEYS)
    readme = (root / "README.md").read_text("utf-8")
    for section, keys in cli.STATS_KEYS.items():
        assert list(fields(classes[sections[section]])) == list(keys)
        for key, (kind, default) in keys.items():
            row = rf"^\s*{section}\s+{key}\s+{re.escape(kind)}\s+{re.escape(repr(default))}\s"
            assert re.search(row, health.__doc__, re.M), (section, key)
            assert f"| `{section}` | `{key}` | {kind} | `{default!r}` |" in readme


# --- why: weights, shares, the deciding rule, values read but not as meant -----

WARNING = "python -m kelvane_layer: warning: stdin: "


def health_of(capsys, monkeypatch, stats, *options):
    feed_stdin(monkeypatch, json.dumps(stats).encode())  # json writes NaN bare
    return run(capsys, "health", "-", *options)


@pytest.mark.parametrize("stats, rule, lines", [
    ({"dreams": {"runs_7d": 7, "failure_count_7d": 3}}, 1,
     ["dream failure rate 3/7 = 0.4286 > health_overloaded_dream_failure_threshold 0.3"]),
    # Rounded to four places both would read 0.4: never "0.4 > 0.4".
    ({"directives": {"demotion_rate_7d": 0.40000001}}, 2,
     ["directives.demotion_rate_7d 0.40000001 > health_drifting_demotion_rate_threshold 0.4"]),
    ({"memory": {"captures_7d": 2, "total_memories": 40}}, 3,
     ["memory.captures_7d 2 < health_stagnant_capture_threshold_7d 3",
      "and reinforcement ratio 0/40 = 0 < health_stagnant_reinforcement_ratio 0.05"]),
    (json.loads(resources.files("kelvane_layer").joinpath("data/sample_stats.json")
                .read_text("utf-8")), 4,
     ["kelvane score 0.8317 >= health_kelvane_healthy_threshold 0.65",
      "and dream success rate 1 >= health_dream_success_healthy_threshold 0.9"]),
    ({"dreams": {"runs_7d": 4, "success_rate_7d": "nan"}, "memory": {"captures_7d": 5}}, 5,
     ["kelvane score 0.45 < health_kelvane_healthy_threshold 0.65",
      "and dream success rate nan is never >= health_dream_success_healthy_threshold 0.9"]),
])
def test_health_names_the_rule_that_decided(capsys, monkeypatch, stats, rule, lines):
    code, out, _ = health_of(capsys, monkeypatch, stats)
    shown = [line.strip() for line in out.splitlines()]
    at = next(i for i, x in enumerate(shown) if x.startswith("decided by"))
    assert code == 0 and shown[at].startswith(f"decided by           rule {rule} of 5")
    assert shown[at + 1 : at + 1 + len(lines)] == lines
    decided = json.loads(health_of(capsys, monkeypatch, stats, "--json")[1])["decided_by"]
    assert decided["rule"] == rule and decided["reason"].endswith(
        " and ".join(line.removeprefix("and ") for line in lines))


def test_health_text_gives_weight_and_share_of_each_sub_score(capsys, monkeypatch):
    code, out, _ = health_of(capsys, monkeypatch, SAMPLE)
    assert code == 0 and "kelvane score        0.5375   the sum of the shares below\n" in out
    assert "    dream health          0.7500 x 0.2500 = 0.1875\n" in out
    _, out, _ = health_of(capsys, monkeypatch, {"critic": {"pass_rate_7d": math.nan}})
    assert "kelvane score        1.0000   the sum of the shares below (nan) clamped" in out
    assert "    directive coherence      nan x 0.2000 = nan\n" in out


@pytest.mark.parametrize("stats, warnings", [
    ({"critic": {"pass_rate_7d": math.nan}},
     ["critic.pass_rate_7d is NaN; the weighted sum is NaN, which the clamped kelvane score "
      "reads as 1.0, a perfect score whatever the other sub-scores"]),
    ({"directives": {"demotion_rate_7d": "NaN"}, "dreams": {"runs_7d": 4, "failure_count_7d": 5,
                                                          "success_rate_7d": math.nan},
      "memory": {"reinforced_count": 13, "total_memories": 12}},
     ["dreams.success_rate_7d is NaN; NaN is never at or above", "drifting_demotion_rate_thr",
      "failure_count_7d 5 exceeds dreams.runs_7d 4; dream health -0.25 is used as it is",
      "reinforced_count 13 exceeds memory.total_memories 12; the reinforcement ratio is clamped"]),
    ({"dreams": {"failure_count_7d": 2, "success_rate_7d": math.nan},
      "memory": {"reinforced_count": 3}},
     ["success_rate_7d is NaN; unused, as without runs the classifier takes 1.0",
      "failure_count_7d 2 without runs (dreams.runs_7d 0) is not counted; dream health takes",
      "reinforced_count 3 without memories (memory.total_memories 0); the reinforcement ratio"]),
    ({"critic": {"pass_rate_7d": 43}, "directives": {"demotion_rate_7d": -math.inf},
      "memory": {"captures_7d": 2.5, "event_type_counts": {"a": -2}}},
     ["memory.captures_7d 2.5 is not a whole number; read as 2",
      "critic.pass_rate_7d 43.0 is outside [0, 1]; used as it is, and the kelvane score clamps",
      "directives.demotion_rate_7d -inf is outside [0, 1]; used as it is",
      "memory.event_type_counts['a'] is negative (-2); used as it is"]),
    # Overloaded at rule 1, the classifier reads no further: text where a
    # number belongs passes the health functions unseen.
    ({"dreams": {"runs_7d": 2, "failure_count_7d": 2, "success_rate_7d": "soon"}},
     ["dreams.success_rate_7d 'soon' is not a number; unused, as the classification was "
      "decided before it was needed"]),
])
def test_health_warns_about_values_read_but_not_as_meant(capsys, monkeypatch, stats, warnings):
    code, _, err = health_of(capsys, monkeypatch, stats)
    lines = err.splitlines()
    assert code == 0 and len(lines) == len(warnings) and all(x.startswith(WARNING) for x in lines)
    assert all(sum(w in x for x in lines) == 1 for w in warnings)
    code, out, err2 = health_of(capsys, monkeypatch, stats, "--json")
    assert code == 0 and err2 == err and [WARNING + w for w in json.loads(out)["warnings"]] == lines


def test_a_rule_that_disagrees_with_the_module_is_not_shown(capsys, monkeypatch):
    monkeypatch.setattr(cli, "_decide", lambda *a: cli._Decision(4, "HEALTHY", []))
    code, out, err = health_of(capsys, monkeypatch, SAMPLE, "--json")
    report = json.loads(out)
    assert code == 1 and report["classification"] == "stagnant" and report["decided_by"] is None
    assert err.splitlines()[-1] == WARNING + report["warnings"][-1] == (
        WARNING + "cannot say why: the rules as read here give HEALTHY, the health module "
        "STAGNANT; please report this")


# Values at the balanced and archetype thresholds, so that ties (strict
# against inclusive tests) come up often, and the awkward ones besides.
EDGES = [0.0, 0.05, 0.3, 0.4, 0.5, 0.65, 0.7, 0.9, 1.0, -0.5, 1.5, math.nan, math.inf]
EDGE = st.sampled_from(EDGES)
RATES = st.one_of(EDGE, EDGE, EDGE, st.floats())
COUNTS = st.integers(-1, 8) | st.sampled_from([2.5, 3.0, -0.5])
sections = functools.partial(st.fixed_dictionaries, {})
STATS = sections(optional={
    "memory": sections(optional={
        "event_type_counts": st.dictionaries(st.sampled_from("abc"), COUNTS),
        "reinforced_count": COUNTS, "total_memories": COUNTS, "captures_7d": COUNTS}),
    "dreams": sections(optional={"runs_7d": COUNTS, "failure_count_7d": COUNTS,
                                 "success_rate_7d": RATES}),
    "critic": sections(optional={"pass_rate_7d": RATES}),
    "journals": sections(optional={"entries_7d": COUNTS}),
    "directives": sections(optional={"demotion_rate_7d": RATES}),
})
# Archetypes with thresholds and weights of their own (an archetype's
# weights add up to 1, which would hide a missing normalisation).
PROFILE = st.builds(
    lambda name, changes: replace(cli.PROFILES[name](), **changes),
    st.sampled_from(list(cli.PROFILES)),
    sections(optional={
        **{f"health_{name}": EDGE for name in (
            "overloaded_dream_failure_threshold", "drifting_demotion_rate_threshold",
            "stagnant_reinforcement_ratio", "kelvane_healthy_threshold",
            "dream_success_healthy_threshold")},
        "health_stagnant_capture_threshold_7d": st.integers(-1, 5) | st.just(2.5),
        **{field: st.sampled_from([0.1, 0.5, 2.0]) for _, field, _ in cli._SUB_SCORES}}),
)
LIVELY = {"memory": {"captures_7d": 5}}  # past rule 3 under every archetype


@given(stats=STATS, profile=PROFILE, score=st.sampled_from(EDGES[:9]) | st.floats(0, 1))
# Past rules 1 to 3, where random maps seldom get, the edges are spelt out.
@example(stats=dict(LIVELY, dreams={"success_rate_7d": 0.0}), profile=TuningProfile(), score=1.0)
@example(stats=dict(LIVELY, dreams={"runs_7d": -1, "success_rate_7d": 0.0}),
         profile=TuningProfile(), score=1.0)
@example(stats=dict(LIVELY, dreams={"runs_7d": 1, "success_rate_7d": math.nan}),
         profile=TuningProfile(), score=1.0)
@example(stats={"dreams": {"runs_7d": -2, "failure_count_7d": -2}}, profile=TuningProfile(),
         score=0.0)
def test_the_report_agrees_with_the_module(stats, profile, score):
    decision = cli._decide(stats, score, profile)
    assert decision.status == health.classify_cognitive_health(stats, score, profile).name
    # Rules 1 to 4 decide because every test shown holds, rule 5 because
    # some healthy test does not.
    holding = [t.holds for t in decision.tests]
    assert all(holding) if decision.rule < 5 else not all(holding)
    weights = cli._weights(profile)
    shares = [weights[k] * v for k, v in cli._sub_scores(stats, profile).items()]
    assert math.fsum(weights.values()) == pytest.approx(1.0)
    assert health.compute_kelvane_score(stats, profile) == pytest.approx(
        clamp(math.fsum(shares)), abs=1e-9)


# --- profiles within 100 columns ----------------------------------------------


def profile_text(out):
    return " ".join(out.split())


def test_profiles_diff_lists_every_change_in_full(capsys):
    code, out, _ = run(capsys, "profiles", "--diff")
    assert code == 0 and max(map(len, out.splitlines())) <= 100
    base = TuningProfile()
    for name, factory in cli.PROFILES.items():
        p = factory()
        changed = [f for f in TuningProfile.__match_args__ if getattr(p, f) != getattr(base, f)]
        if name == "balanced":
            assert not out.startswith("balanced") and "\nbalanced:" not in out
            continue
        assert f"{name}: {len(changed)} field(s) differ" in out
        for f in changed:
            assert f"{f} " in out
    guidance = TuningProfile.for_consumer_support().dream_evolve_style_guidance
    assert f"None -> {guidance!r}" in profile_text(out)
    assert "..." not in out


@pytest.mark.parametrize("name", list(cli.PROFILES))
def test_profiles_name_shows_one_profile_in_full(capsys, name):
    code, out, _ = run(capsys, "profiles", name)
    lines = out.splitlines()
    assert code == 0 and max(map(len, lines)) <= 100 and lines[0].startswith(f"{name}: 54 fields")
    p = cli.PROFILES[name]()
    for f in TuningProfile.__match_args__:
        value = getattr(p, f)
        text = repr(value) if isinstance(value, str) else str(value)
        assert text in profile_text(out)
    marked = {line.split()[0] for line in lines[1:] if line.split()[0].endswith("*")}
    changed = {f + "*" for f in TuningProfile.__match_args__
               if getattr(p, f) != getattr(TuningProfile(), f)}
    assert marked == changed


def test_profiles_name_diff_and_json(capsys):
    code, out, _ = run(capsys, "profiles", "consumer_support", "--diff")
    assert code == 0 and out.splitlines()[1].split()[:3] == ["dream_evolve_style_guidance",
                                                             "None", "->"]
    code, out, _ = run(capsys, "profiles", "research", "--json")
    assert code == 0 and list(json.loads(out)) == ["research"]
    code, out, _ = run(capsys, "profiles", "lightweight_local", "--diff", "--json")
    data = json.loads(out)["lightweight_local"]
    assert code == 0 and len(data) == 7 and "archive_days" not in data
    code, out, err = run(capsys, "profiles", "nope")
    assert code == 2 and out == "" and "unknown profile 'nope'" in err and err.count("\n") == 1


# --- colour -------------------------------------------------------------------


@pytest.mark.parametrize("tty, no_color, term, coloured", [
    (True, None, "xterm", True),
    (True, "1", "xterm", False),
    (True, "", "xterm", True),   # an empty NO_COLOR does not count
    (True, None, "dumb", False),
    (False, None, "xterm", False),
])
def test_health_class_colour(capsys, monkeypatch, tmp_path, tty, no_color, term, coloured):
    monkeypatch.setattr(sys.stdout, "isatty", lambda: tty, raising=False)
    if no_color is None:
        monkeypatch.delenv("NO_COLOR", raising=False)
    else:
        monkeypatch.setenv("NO_COLOR", no_color)
    monkeypatch.setenv("TERM", term)
    path = write(tmp_path, json.dumps(SAMPLE))
    code, out, _ = run(capsys, "health", path)
    line = next(x for x in out.splitlines() if "classification" in x)
    assert code == 0
    assert line.endswith("\x1b[1;35mstagnant\x1b[0m" if coloured else " stagnant")
    assert out.count("\x1b[") == (2 if coloured else 0)  # the class only
    code, out, _ = run(capsys, "health", path, "--json")
    assert "\x1b" not in out
