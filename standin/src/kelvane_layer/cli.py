"""Command-line front end of the compute core.

    python -m kelvane_layer --version
    python -m kelvane_layer health [STATS.json | -] [--profile NAME] [--json]
    python -m kelvane_layer profiles [NAME] [--diff | --table] [--json]
    python -m kelvane_layer demo [--profile NAME] [--json]

``health`` reads a statistics map as a storage back-end reports it (a file,
``-`` for standard input, or the bundled sample when none is given) and
prints the kelvane score with each sub-score, its weight and its share of
the score, the cognitive-health classification with the rule that decided
it (the statistic and the profile threshold it was compared with) and, for
a non-healthy agent, the troubleshooting link.  The class is always the
health module's; the rule is found by trying the classifier's rules here,
and a disagreement is reported rather than shown.  It warns on standard
error (and, with ``--json``, in the report) about a section or key that the
health functions do not read, since those are ignored silently (a misspelt
``memroy`` would otherwise score as an empty section), and about a value
they read without complaint but not as meant: a NaN or out-of-range rate,
a count that is negative or not whole, counts that contradict each other.  ``profiles`` lists, for each of the
five archetypes, the values it changes from the balanced profile, and
``profiles NAME`` one profile, both in full and within 100 columns;
``profiles --table`` shows all six side by side (150 columns, long values
cut short).
``demo`` runs the end-to-end reflection-cycle demonstration.

``--json`` output is strict JSON: NaN and the infinities, which JSON has no
literal for, are written as null.  The health class is coloured when
standard output is a terminal, unless ``NO_COLOR`` is set.

Bad input never produces a traceback: the command prints one line on
standard error and exits with status 2.
"""

from __future__ import annotations

import argparse
import difflib
import json
import math
import operator
import os
import sys
import textwrap
from collections.abc import Callable, Mapping, Sequence
from importlib import metadata, resources
from typing import IO, Any, NoReturn, cast

from kelvane_layer._internal import health
from kelvane_layer._internal.tuning_profile import TuningProfile
from kelvane_layer.types import CognitiveHealthStatus

__all__ = ["PROFILES", "STATS_KEYS", "json_text", "main"]

#: Profile factories by the names the command line accepts, balanced first.
PROFILES: dict[str, Callable[[], TuningProfile]] = {
    "balanced": TuningProfile.balanced,
    "research": TuningProfile.for_research,
    "coding_assistant": TuningProfile.for_coding_assistant,
    "consumer_support": TuningProfile.for_consumer_support,
    "strategic_advisors": TuningProfile.for_strategic_advisors,
    "lightweight_local": TuningProfile.for_lightweight_local,
}

#: Every statistics section and key that the health functions read, with its
#: kind and its default when absent (the health module's docstring has the
#: same table).
STATS_KEYS: dict[str, dict[str, tuple[str, object]]] = {
    "memory": {
        "event_type_counts": ("map: event type -> integer", {}),
        "reinforced_count": ("integer", 0),
        "total_memories": ("integer", 0),
        "captures_7d": ("integer", 0),
    },
    "dreams": {
        "runs_7d": ("integer", 0),
        "failure_count_7d": ("integer", 0),
        "success_rate_7d": ("floating-point", 1.0),
    },
    "critic": {"pass_rate_7d": ("floating-point", 1.0)},
    "journals": {"entries_7d": ("integer", 0)},
    "directives": {"demotion_rate_7d": ("floating-point", 0.0)},
}

PROG = "python -m kelvane_layer"
EXIT_BAD_INPUT = 2
WIDTH = 100  # the narrow views of `profiles` fit this many columns
JSON_HELP = ("print the report as JSON; the output is strict JSON, so NaN and the infinities, "
             "which JSON has no literal for, are written as null")


class UsageError(Exception):
    """Bad input from the user: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before its message; one line is
    # easier to read in scripts and logs, and --help still shows the usage.
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _profile(name: str) -> TuningProfile:
    try:
        return PROFILES[name]()
    except KeyError:
        raise UsageError(
            f"unknown profile {name!r} (choose from {', '.join(PROFILES)})"
        ) from None


# --- output helpers ---------------------------------------------------------


def _finite(value: Any) -> Any:
    """`value` with every non-finite float replaced by None, containers copied."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, Mapping):
        return {k: _finite(v) for k, v in cast("Mapping[object, object]", value).items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in cast("Sequence[object]", value)]
    return value


def json_text(value: Any, **options: Any) -> str:
    """``json.dumps`` that always gives strict JSON (RFC 8259).

    Python writes NaN and the infinities as the bare words NaN, Infinity and
    -Infinity, which strict parsers refuse; they become null here, and
    ``allow_nan=False`` guards against any that slip through.
    """
    return json.dumps(_finite(value), allow_nan=False, **options)


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


# ANSI colours of the four health classes, by member name (the value texts
# are the host's to choose).
_CLASS_COLOURS = {"HEALTHY": "32", "DRIFTING": "33", "OVERLOADED": "31", "STAGNANT": "35"}


def _colour_wanted(stream: IO[str]) -> bool:
    # NO_COLOR (https://no-color.org): any non-empty value turns colour off.
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty is not None and isatty())


class _VersionAction(argparse.Action):
    # Looked up only when asked for: reading distribution metadata walks the
    # import path, which no other command needs.
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(f"{PROG} {_version()}")
        parser.exit()


def _version() -> str:
    # The core's own distribution (not the host's, which may share the
    # package); without its metadata, the package's __version__ tells.
    try:
        return metadata.version("kelvane-layer-core")
    except metadata.PackageNotFoundError:
        import kelvane_layer

        return str(getattr(kelvane_layer, "__version__", "unknown"))


# --- health -----------------------------------------------------------------


def _read_stdin() -> str:
    # Bytes decoded as UTF-8, like a file, whatever the terminal's locale says.
    if sys.stdin is None or sys.stdin.closed:
        raise OSError("no standard input")
    buffer = getattr(sys.stdin, "buffer", None)
    if buffer is None:
        return sys.stdin.read()
    data: bytes = buffer.read()
    return data.decode("utf-8")


def _load_stats(path: str | None) -> tuple[dict[str, Any], str]:
    source = "bundled sample" if path is None else "stdin" if path == "-" else path
    try:
        if path is None:
            text = resources.files("kelvane_layer").joinpath("data/sample_stats.json").read_text(
                encoding="utf-8"
            )
        elif path == "-":
            text = _read_stdin()
        else:
            with open(path, encoding="utf-8") as f:
                text = f.read()
    except OSError as e:
        what = {None: "the bundled sample", "-": "standard input"}.get(path, path)
        raise UsageError(f"cannot read {what}: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise UsageError(f"{source}: not UTF-8 text") from None
    try:
        stats = json.loads(text)
    except ValueError as e:
        raise UsageError(f"{source}: invalid JSON: {e}") from None
    except RecursionError:
        raise UsageError(f"{source}: invalid JSON: nested too deeply") from None
    if not isinstance(stats, dict):
        raise UsageError(f"{source}: expected a JSON object of statistics sections, "
                         f"not {_json_kind(stats)}")
    return cast("dict[str, Any]", stats), source


def _json_kind(value: object) -> str:
    kinds: dict[type[object], str] = {
        dict: "an object", list: "an array", str: "a string", bool: "a boolean",
        int: "a number", float: "a number", type(None): "null"}
    return kinds.get(type(value), "a value")


def _did_you_mean(name: str, known: Sequence[str]) -> str:
    close = difflib.get_close_matches(name, known, n=1)
    return f"; did you mean {close[0]!r}?" if close else ""


def _unknown_stats(stats: Mapping[str, Any]) -> list[str]:
    """Warnings for the sections and keys of `stats` that health does not read.

    The health functions ignore them silently, as a library should; on the
    command line a misspelt name is far more likely than a deliberate extra.
    """
    out: list[str] = []
    for name, section in stats.items():
        keys = STATS_KEYS.get(name)
        if keys is None:
            out.append(f"unknown statistics section {name!r}, ignored"
                       + _did_you_mean(name, list(STATS_KEYS)))
            continue
        if isinstance(section, Mapping):
            out += [f"unknown statistics key '{name}.{key}', ignored"
                    + _did_you_mean(key, list(keys))
                    for key in cast("Mapping[str, object]", section) if key not in keys]
    return out


def _section(stats: Mapping[str, Any], name: str) -> Mapping[str, Any]:
    return stats.get(name) or {}


# The five sub-scores in the order the score weighs them: the key of the
# report, the profile field holding the weight, the label of the text report.
_SUB_SCORES = (
    ("memory_diversity", "kelvane_memory_diversity_weight", "memory diversity"),
    ("directive_coherence", "kelvane_directive_coherence_weight", "directive coherence"),
    ("dream_health", "kelvane_dream_health_weight", "dream health"),
    ("reinforcement_ratio", "kelvane_reinforcement_ratio_weight", "reinforcement ratio"),
    ("journal_frequency", "kelvane_journal_frequency_weight", "journal cadence"),
)


def _sub_scores(stats: Mapping[str, Any], profile: TuningProfile) -> dict[str, float]:
    """The five sub-scores the kelvane score weighs, for display.

    Called after compute_kelvane_score() has accepted the same map, so every
    section is a map and every value converts.
    """
    memory, dreams = _section(stats, "memory"), _section(stats, "dreams")
    runs = int(dreams.get("runs_7d", 0))
    failures = int(dreams.get("failure_count_7d", 0))
    return {
        "memory_diversity": health.compute_memory_diversity(memory.get("event_type_counts", {})),
        "directive_coherence": float(_section(stats, "critic").get("pass_rate_7d", 1.0)),
        "dream_health": 1.0 - failures / runs if runs > 0 else 0.5,
        "reinforcement_ratio": health.compute_reinforcement_ratio(
            int(memory.get("reinforced_count", 0)), int(memory.get("total_memories", 0))
        ),
        # The core's own private sub-score: the stand-in shows what the
        # composite weighs, and no public function gives this one.
        "journal_frequency": health._journal_frequency_score(  # pyright: ignore[reportPrivateUsage]
            int(_section(stats, "journals").get("entries_7d", 0)),
            profile.kelvane_journal_target_days,
        ),
    }


def _weights(profile: TuningProfile) -> dict[str, float]:
    """The profile's five weights scaled to sum to 1, as the score scales them.

    A profile whose weights do not add up to a positive total scores 0.0
    whatever the statistics; every weight is then shown as 0.
    """
    raw = [float(getattr(profile, field)) for _, field, _ in _SUB_SCORES]
    total = math.fsum(raw)
    return {key: w / total if total > 0 else 0.0 for (key, _, _), w in zip(_SUB_SCORES, raw)}


def _num(x: float) -> str:
    """A number short enough to read: an int whole, a float to four decimals."""
    if isinstance(x, int) or not math.isfinite(x):
        return str(x)
    if x != 0.0 and abs(x) < 1e-3:
        return repr(x)
    return f"{x:.4f}".rstrip("0").rstrip(".")


class _Test:
    """One comparison of the classifier: a statistic against a profile threshold."""

    # A failed test is written with the converse comparison (NaN aside).
    _CONVERSE = {">": "<=", "<": ">=", ">=": "<"}

    def __init__(self, quantity: str, label: str, value: float, op: str, threshold: str,
                 profile: TuningProfile, shown: str = "{}") -> None:
        self.quantity, self.label, self.value, self.op = quantity, label, value, op
        self.threshold = threshold
        self.limit: float = getattr(profile, threshold)
        # The same comparisons the classifier makes: strict for the unhealthy
        # classes, inclusive for healthy, and false whenever NaN takes part.
        self.holds: bool = {">": operator.gt, "<": operator.lt, ">=": operator.ge}[op](
            value, self.limit)
        self.shown = shown  # how the value came about, "{}" standing for it

    def text(self) -> str:
        value, limit = _num(self.value), _num(self.limit)
        if value == limit and self.value != self.limit:
            value, limit = repr(self.value), repr(self.limit)  # rounding hid the difference
        shown = f"{self.label} {self.shown.format(value)}"
        if self.holds:
            return f"{shown} {self.op} {self.threshold} {limit}"
        if isinstance(self.value, float) and math.isnan(self.value):
            return f"{shown} is never {self.op} {self.threshold} {limit}"
        return f"{shown} {self._CONVERSE[self.op]} {self.threshold} {limit}"

    def as_json(self) -> dict[str, Any]:
        return {"quantity": self.quantity, "value": self.value, "comparison": self.op,
                "threshold": self.threshold, "limit": self.limit, "holds": self.holds}


class _Decision:
    """Which of the classifier's five rules decided the class, and on what."""

    def __init__(self, rule: int, status: str, tests: list[_Test]) -> None:
        self.rule, self.status, self.tests = rule, status, tests

    def clauses(self) -> list[str]:
        # Rule 5 is the fall-through: what it has to say is which healthy
        # test failed.
        shown = [t for t in self.tests if not t.holds] if self.rule == 5 else self.tests
        return [t.text() for t in shown]

    def heading(self) -> str:
        if self.rule == 5:
            return "rule 5 of 5: none of rules 1-4 holds, and not healthy as"
        return f"rule {self.rule} of 5, the first that holds:"

    def reason(self) -> str:
        return f"{self.heading()} {' and '.join(self.clauses())}"


def _decide(stats: Mapping[str, Any], score: float, profile: TuningProfile) -> _Decision:
    """The classifier's rules, tried in its fixed order; the first that holds decides.

    This restates classify_cognitive_health() so that the report can name
    the rule; the command checks that both reach the same class.  Only the
    values the classifier reaches are read, as it reads them.
    """
    memory, dreams = _section(stats, "memory"), _section(stats, "dreams")
    runs = int(dreams.get("runs_7d", 0))
    failures = int(dreams.get("failure_count_7d", 0))
    rate = failures / runs if runs > 0 else 0.0
    t = _Test("dream_failure_rate", "dream failure rate", rate, ">",
              "health_overloaded_dream_failure_threshold", profile,
              f"{failures}/{runs} = {{}}" if runs > 0 else "{} (no runs)")
    if t.holds:
        return _Decision(1, "OVERLOADED", [t])
    t = _Test("demotion_rate_7d", "directives.demotion_rate_7d",
              float(_section(stats, "directives").get("demotion_rate_7d", 0.0)), ">",
              "health_drifting_demotion_rate_threshold", profile)
    if t.holds:
        return _Decision(2, "DRIFTING", [t])
    reinforced = int(memory.get("reinforced_count", 0))
    total = int(memory.get("total_memories", 0))
    stagnant = [
        _Test("captures_7d", "memory.captures_7d", int(memory.get("captures_7d", 0)), "<",
              "health_stagnant_capture_threshold_7d", profile),
        _Test("reinforcement_ratio", "reinforcement ratio",
              health.compute_reinforcement_ratio(reinforced, total), "<",
              "health_stagnant_reinforcement_ratio", profile,
              f"{reinforced}/{total} = {{}}" if total > 0 else "{} (no memories)"),
    ]
    if all(t.holds for t in stagnant):
        return _Decision(3, "STAGNANT", stagnant)
    # No runs, no evidence of failure: the reported rate is not consulted.
    success = float(dreams.get("success_rate_7d", 1.0)) if runs != 0 else 1.0
    healthy = [
        _Test("kelvane_score", "kelvane score", score, ">=",
              "health_kelvane_healthy_threshold", profile),
        _Test("dream_success_rate", "dream success rate", success, ">=",
              "health_dream_success_healthy_threshold", profile,
              "{}" if runs != 0 else "{} (no runs)"),
    ]
    if all(t.holds for t in healthy):
        return _Decision(4, "HEALTHY", healthy)
    return _Decision(5, "STAGNANT", healthy)


# What a NaN does where it is read.  The health functions take it as it
# comes; only the report says so.
_NAN_EFFECTS = {
    "critic.pass_rate_7d": "the weighted sum is NaN, which the clamped kelvane score reads as "
                           "1.0, a perfect score whatever the other sub-scores",
    "directives.demotion_rate_7d": "NaN is never above health_drifting_demotion_rate_threshold, "
                                   "so it cannot make the agent drifting",
    "dreams.success_rate_7d": "NaN is never at or above health_dream_success_healthy_threshold, "
                              "so the agent cannot be healthy",
}


def _value_warnings(stats: Mapping[str, Any]) -> list[str]:
    """Warnings for values the health functions read without complaint but not as meant.

    A NaN or out-of-range rate, a count that is negative or not whole, and
    counts that contradict each other all give a number (a clamped or
    default one, or NaN itself) where the back-end should have given a
    valid one.  A value that does not convert at all is reported too: the
    classifier stops reading at the rule that decides, so it may never have
    needed it.  Called after both health functions accepted `stats`.
    """
    out: list[str] = []
    counts: dict[str, int] = {}
    rates: dict[str, float] = {}
    for name, keys in STATS_KEYS.items():
        section = _section(stats, name)
        for key, (kind, _) in keys.items():
            if key not in section or kind.startswith("map"):
                continue
            path, raw = f"{name}.{key}", section[key]
            try:
                value = int(raw) if kind == "integer" else float(raw)
            except (TypeError, ValueError, OverflowError):
                out.append(f"{path} {raw!r} is not a number; unused, as the classification "
                           "was decided before it was needed")
                continue
            if isinstance(value, int):
                counts[path] = value
                out += _count_warnings(path, raw, value)
            else:
                rates[path] = value
    for key, raw in _section(_section(stats, "memory"), "event_type_counts").items():
        out += _count_warnings(f"memory.event_type_counts[{key!r}]", raw, int(raw))

    for path, value in rates.items():
        if math.isnan(value):
            if path == "dreams.success_rate_7d" and counts.get("dreams.runs_7d", 0) == 0:
                effect = "unused, as without runs the classifier takes 1.0"
            else:
                effect = _NAN_EFFECTS[path]
            out.append(f"{path} is NaN; {effect}")
        elif not 0.0 <= value <= 1.0:
            clamp = (", and the kelvane score clamps the weighted sum to [0, 1]"
                     if path == "critic.pass_rate_7d" else "")
            out.append(f"{path} {value!r} is outside [0, 1]; used as it is{clamp}")

    runs, failures = counts.get("dreams.runs_7d", 0), counts.get("dreams.failure_count_7d", 0)
    if runs > 0 and failures > runs:
        out.append(f"dreams.failure_count_7d {failures} exceeds dreams.runs_7d {runs}; "
                   f"dream health {_num(1.0 - failures / runs)} is used as it is")
    elif runs <= 0 and failures > 0:
        out.append(f"dreams.failure_count_7d {failures} without runs (dreams.runs_7d {runs}) "
                   "is not counted; dream health takes the neutral 0.5 and the failure rate 0")
    total = counts.get("memory.total_memories", 0)
    reinforced = counts.get("memory.reinforced_count", 0)
    if total > 0 and reinforced > total:
        out.append(f"memory.reinforced_count {reinforced} exceeds memory.total_memories "
                   f"{total}; the reinforcement ratio is clamped to 1.0")
    elif total <= 0 and reinforced > 0:
        out.append(f"memory.reinforced_count {reinforced} without memories "
                   f"(memory.total_memories {total}); the reinforcement ratio takes 0.0")
    return out


def _count_warnings(path: str, raw: Any, value: int) -> list[str]:
    out: list[str] = []
    if isinstance(raw, float) and not raw.is_integer():
        out.append(f"{path} {raw!r} is not a whole number; read as {value}")
    if value < 0:
        out.append(f"{path} is negative ({value}); used as it is")
    return out


def _cmd_health(args: argparse.Namespace) -> int:
    profile = _profile(args.profile)
    stats, source = _load_stats(args.stats)
    try:
        score = health.compute_kelvane_score(stats, profile)
        status = health.classify_cognitive_health(stats, score, profile)
        subs = _sub_scores(stats, profile)
        rules = _decide(stats, score, profile)
    except (TypeError, ValueError, OverflowError, ZeroDivisionError) as e:
        raise UsageError(f"{source}: unusable statistics: {e}") from None
    # Only once the map is known to be usable: bad input stays one line.
    warnings = _unknown_stats(stats) + _value_warnings(stats)
    exit_status = 0
    decision: _Decision | None = rules
    if rules.status != status.name:
        # The rules above restate the classifier's; a report that names a
        # rule for another class than the one shown would mislead.
        warnings.append(f"cannot say why: the rules as read here give {rules.status}, "
                        f"the health module {status.name}; please report this")
        decision, exit_status = None, 1
    for warning in warnings:
        _warn(f"{source}: {warning}")
    weights = _weights(profile)
    shares = {key: weights[key] * value for key, value in subs.items()}
    remedy = health.remedy_url_for(status)
    if args.json:
        print(json_text({
            "source": source,
            "profile": args.profile,
            "kelvane_score": score,
            "sub_scores": subs,
            "weights": weights,
            "shares": shares,
            "classification": status.value,
            "decided_by": None if decision is None else {
                "rule": decision.rule,
                "reason": decision.reason(),
                "tests": [t.as_json() for t in decision.tests],
            },
            "remedy_url": remedy,
            "warnings": warnings,
        }, indent=2))
        return exit_status
    shown = str(status.value)
    colour = _CLASS_COLOURS.get(status.name)
    if colour and _colour_wanted(sys.stdout):
        shown = f"\033[1;{colour}m{shown}\033[0m"
    total = math.fsum(shares.values())
    if 0.0 <= total <= 1.0:
        note = "the sum of the shares below"
    else:
        note = f"the sum of the shares below ({_num(total)}) clamped to [0, 1]"
    lines = [f"Health report ({source}, profile: {args.profile})",
             f"  kelvane score        {score:.4f}   {note}",
             f"    {'sub-score':<20} {'value':>7}   {'weight':>6}   {'share':>6}"]
    lines += [f"    {label:<20} {subs[key]:7.4f} x {weights[key]:.4f} = {shares[key]:.4f}"
              for key, _, label in _SUB_SCORES]
    lines.append(f"  classification       {shown}")
    if decision is None:
        lines.append("  decided by           (unknown, see the warning)")
    else:
        first, *more = decision.clauses()
        lines.append(f"  decided by           {decision.heading()}")
        lines.append(f"    {first}")
        lines += [f"    and {clause}" for clause in more]
    if status is CognitiveHealthStatus.HEALTHY:
        lines.append("  troubleshooting      none needed")
    else:
        lines.append(f"  troubleshooting      {remedy}")
    print("\n".join(lines))
    return exit_status


# --- profiles ---------------------------------------------------------------

_CELL = 14  # widest value in the side-by-side table; longer ones end in "..."


def _text(value: Any) -> str:
    return repr(value) if isinstance(value, str) else str(value)


def _cell(value: Any) -> str:
    text = _text(value)
    return text if len(text) <= _CELL else text[: _CELL - 3] + "..."


def _rows(rows: list[tuple[str, str]]) -> list[str]:
    """`field  value` lines within WIDTH columns, long values wrapped under themselves."""
    if not rows:
        return []
    width = max(len(f) for f, _ in rows)
    indent = " " * (2 + width + 2)
    out: list[str] = []
    for field, text in rows:
        pieces = textwrap.wrap(text, WIDTH - len(indent), break_on_hyphens=False) or [""]
        out.append(f"  {field:<{width}}  {pieces[0]}")
        out += [indent + piece for piece in pieces[1:]]
    return out


def _changed(profile: TuningProfile, base: TuningProfile) -> list[str]:
    return [f for f in TuningProfile.__match_args__ if getattr(profile, f) != getattr(base, f)]


def _profiles_narrow(names: list[str], profiles: dict[str, TuningProfile], diff: bool) -> int:
    base = profiles["balanced"]
    out: list[str] = []
    for name in names:
        p = profiles[name]
        changed = _changed(p, base)
        if out:
            out.append("")
        if diff:
            out.append(f"{name}: {len(changed)} field(s) differ from balanced (balanced -> {name})")
            out += _rows([(f, f"{_text(getattr(base, f))} -> {_text(getattr(p, f))}")
                          for f in changed])
        else:
            marked = f", * marks the {len(changed)} that differ from balanced" if changed else ""
            out.append(f"{name}: {len(TuningProfile.__match_args__)} fields{marked}")
            out += _rows([(f + ("*" if f in changed else ""), _text(getattr(p, f)))
                          for f in TuningProfile.__match_args__])
    print("\n".join(out))
    return 0


def _cmd_profiles(args: argparse.Namespace) -> int:
    if args.name is not None:
        _profile(args.name)  # the one-line error for an unknown name
    profiles = {name: factory() for name, factory in PROFILES.items()}
    fields = list(TuningProfile.__match_args__)
    base = profiles["balanced"]
    if args.table and (args.name or args.diff):
        raise UsageError("profiles: --table shows all six profiles; it takes no NAME or --diff")
    narrow_all = not args.table and not args.json and args.name is None
    names = ([args.name] if args.name else
             [n for n in profiles if n != "balanced" or not (args.diff or narrow_all)])
    if args.json:
        print(json_text({name: {f: getattr(profiles[name], f) for f in
                                (_changed(profiles[name], base) if args.diff else fields)}
                         for name in names}, indent=2))
        return 0
    if not args.table:
        # Without a name the useful narrow view is what each archetype changes.
        return _profiles_narrow(names, profiles, args.diff or args.name is None)
    width = max(map(len, fields))
    cols = {name: max(len(name), _CELL + 1) for name in profiles}
    out = ["  ".join([f"{'field':<{width}}"] + [f"{n:<{cols[n]}}" for n in profiles]).rstrip()]
    for f in fields:
        row = [f"{f:<{width}}"]
        for name, p in profiles.items():
            value = getattr(p, f)
            mark = "*" if name != "balanced" and value != getattr(base, f) else ""
            row.append(f"{_cell(value) + mark:<{cols[name]}}")
        out.append("  ".join(row).rstrip())
    out.append("")
    out.append("* differs from balanced")
    for name, p in profiles.items():
        if name != "balanced":
            out.append(f"  {name}: {len(_changed(p, base))} field(s) changed")
    out.append("Full values within 100 columns: `profiles` (changed fields only) "
               "or `profiles NAME`.")
    print("\n".join(out))
    return 0


# --- demo -------------------------------------------------------------------


def _cmd_demo(args: argparse.Namespace) -> int:
    _profile(args.profile)  # the same one-line error as the other commands
    from kelvane_layer import demo

    return demo.main(args)


# --- entry point ------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="kelvane_layer compute core tools.",
                     epilog="--json output is strict JSON: NaN and the infinities, which JSON "
                            "has no literal for, are written as null.  The health class is "
                            "coloured on a terminal unless NO_COLOR is set.  Bad input gives "
                            "one line on standard error and exit status 2.")
    parser.add_argument("--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                parser_class=_Parser)
    profile_help = f"tuning profile ({', '.join(PROFILES)}; default balanced)"

    p = sub.add_parser("health", help="kelvane score and cognitive health of a statistics map",
                       epilog="The report shows each sub-score's weight and share of the score "
                              "and the rule that decided the class.  Sections and keys that "
                              "health does not read, and values it reads but not as meant "
                              "(NaN or out-of-range rates, negative or fractional counts), are "
                              "reported on standard error.")
    p.add_argument("stats", nargs="?", metavar="STATS.json",
                   help="statistics map as JSON, - for standard input "
                        "(default: the bundled sample)")
    p.add_argument("--profile", default="balanced", metavar="NAME", help=profile_help)
    p.add_argument("--json", action="store_true", help=JSON_HELP)
    p.set_defaults(handler=_cmd_health)

    p = sub.add_parser("profiles", help="what each archetype changes, one profile, or a table")
    p.add_argument("name", nargs="?", metavar="NAME",
                   help=f"show only this profile, values in full ({', '.join(PROFILES)})")
    p.add_argument("--diff", action="store_true",
                   help="show only the fields that differ from balanced, values in full")
    p.add_argument("--table", action="store_true",
                   help="all six profiles side by side (150 columns, long values cut short)")
    p.add_argument("--json", action="store_true", help=JSON_HELP.replace("the report", "them"))
    p.set_defaults(handler=_cmd_profiles)

    p = sub.add_parser("demo", help="end-to-end reflection-cycle demonstration")
    p.add_argument("--profile", default="balanced", metavar="NAME", help=profile_help)
    p.add_argument("--json", action="store_true", help=JSON_HELP)
    p.set_defaults(handler=_cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        try:
            args = _parser().parse_args(argv)
        except SystemExit as e:  # --help and --version end the parse
            return e.code if isinstance(e.code, int) else 0
        return int(args.handler(args))
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:
        # The reader went away (`... | head`); stop quietly, and keep the
        # interpreter from complaining again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
