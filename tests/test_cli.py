import json
import os
import subprocess
import sys
import types

import pytest

from kelvane_layer import cli
from kelvane_layer._internal import health
from kelvane_layer._internal.tuning_profile import TuningProfile

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
    # The sub-scores recombine into the score with the balanced weights.
    w = [0.25, 0.2, 0.25, 0.2, 0.1]
    assert sum(a * b for a, b in zip(w, report["sub_scores"].values())) == pytest.approx(score)


def test_health_text_shows_link_for_unhealthy(capsys, tmp_path):
    code, out, _ = run(capsys, "health", write(tmp_path, json.dumps(SAMPLE)))
    assert code == 0
    assert "stagnant" in out and health.REMEDY_URL_BASE + "/stagnant" in out


def test_profiles_side_by_side(capsys):
    code, out, _ = run(capsys, "profiles")
    assert code == 0
    header, *rows = out.splitlines()
    assert header.split() == ["field", *cli.PROFILES]
    by_field = {r.split()[0]: r.split()[1:] for r in rows if r and r.split()[0] in
                TuningProfile.__match_args__}
    assert len(by_field) == len(TuningProfile.__match_args__)
    assert by_field["archive_days"] == ["90", "180*", "60*", "90", "365*", "90"]
    assert by_field["dream_evolve_temperature"] == ["0.2", "0.4*", "0.1*", "0.2", "0.15*", "0.2"]
    assert not any("*" in cell for cell in by_field["kelvane_dream_health_weight"])


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
