"""Command-line front end of the compute core.

    python -m kelvane_layer health [STATS.json] [--profile NAME] [--json]
    python -m kelvane_layer profiles [--json]
    python -m kelvane_layer demo [--profile NAME] [--json]

``health`` reads a statistics map as a storage back-end reports it (the
bundled sample when no file is given) and prints the kelvane score, its five
sub-scores, the cognitive-health classification and, for a non-healthy
agent, the troubleshooting link.  ``profiles`` shows the balanced profile and
the five archetypes side by side, marking every value an archetype changes.
``demo`` runs the end-to-end reflection-cycle demonstration.

Bad input never produces a traceback: the command prints one line on
standard error and exits with status 2.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Sequence
from importlib import resources
from typing import Any, NoReturn

from kelvane_layer._internal import health
from kelvane_layer._internal.tuning_profile import TuningProfile
from kelvane_layer.types import CognitiveHealthStatus

__all__ = ["PROFILES", "main"]

#: Profile factories by the names the command line accepts, balanced first.
PROFILES: dict[str, Callable[[], TuningProfile]] = {
    "balanced": TuningProfile.balanced,
    "research": TuningProfile.for_research,
    "coding_assistant": TuningProfile.for_coding_assistant,
    "consumer_support": TuningProfile.for_consumer_support,
    "strategic_advisors": TuningProfile.for_strategic_advisors,
    "lightweight_local": TuningProfile.for_lightweight_local,
}

PROG = "python -m kelvane_layer"
EXIT_BAD_INPUT = 2


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


# --- health -----------------------------------------------------------------


def _load_stats(path: str | None) -> tuple[Any, str]:
    try:
        if path is None:
            source = "bundled sample"
            text = resources.files("kelvane_layer").joinpath("data/sample_stats.json").read_text(
                encoding="utf-8"
            )
        else:
            source = path
            with open(path, encoding="utf-8") as f:
                text = f.read()
    except OSError as e:
        raise UsageError(f"cannot read {path or 'the bundled sample'}: {e.strerror or e}") from None
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
    return stats, source


def _json_kind(value: Any) -> str:
    return {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
            int: "a number", float: "a number", type(None): "null"}.get(type(value), "a value")


def _section(stats: dict[str, Any], name: str) -> dict[str, Any]:
    return stats.get(name) or {}


def _sub_scores(stats: dict[str, Any], profile: TuningProfile) -> dict[str, float]:
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
        "journal_frequency": health._journal_frequency_score(
            int(_section(stats, "journals").get("entries_7d", 0)),
            profile.kelvane_journal_target_days,
        ),
    }


def _cmd_health(args: argparse.Namespace) -> int:
    profile = _profile(args.profile)
    stats, source = _load_stats(args.stats)
    try:
        score = health.compute_kelvane_score(stats, profile)
        status = health.classify_cognitive_health(stats, score, profile)
        subs = _sub_scores(stats, profile)
    except (TypeError, ValueError, OverflowError, ZeroDivisionError) as e:
        raise UsageError(f"{source}: unusable statistics: {e}") from None
    remedy = health.remedy_url_for(status)
    if args.json:
        print(json.dumps({
            "source": source,
            "profile": args.profile,
            "kelvane_score": score,
            "sub_scores": subs,
            "classification": status.value,
            "remedy_url": remedy,
        }, indent=2))
        return 0
    labels = {
        "memory_diversity": "memory diversity",
        "directive_coherence": "directive coherence",
        "dream_health": "dream health",
        "reinforcement_ratio": "reinforcement ratio",
        "journal_frequency": "journal cadence",
    }
    lines = [f"Health report ({source}, profile: {args.profile})",
             f"  kelvane score        {score:.4f}"]
    lines += [f"    {labels[k]:<20} {v:.4f}" for k, v in subs.items()]
    lines.append(f"  classification       {status.value}")
    if status is CognitiveHealthStatus.HEALTHY:
        lines.append("  troubleshooting      none needed")
    else:
        lines.append(f"  troubleshooting      {remedy}")
    print("\n".join(lines))
    return 0


# --- profiles ---------------------------------------------------------------

_CELL = 14  # widest shown value; longer texts are shortened with "..."


def _cell(value: Any) -> str:
    text = repr(value) if isinstance(value, str) else str(value)
    return text if len(text) <= _CELL else text[: _CELL - 3] + "..."


def _cmd_profiles(args: argparse.Namespace) -> int:
    profiles = {name: factory() for name, factory in PROFILES.items()}
    fields = list(TuningProfile.__match_args__)
    base = profiles["balanced"]
    if args.json:
        print(json.dumps({name: {f: getattr(p, f) for f in fields}
                          for name, p in profiles.items()}, indent=2))
        return 0
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
        changed = [f for f in fields if getattr(p, f) != getattr(base, f)]
        if name != "balanced":
            out.append(f"  {name}: {len(changed)} field(s) changed")
    print("\n".join(out))
    return 0


# --- demo -------------------------------------------------------------------


def _cmd_demo(args: argparse.Namespace) -> int:
    _profile(args.profile)  # the same one-line error as the other commands
    from kelvane_layer import demo

    return demo.main(args)


# --- entry point ------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="kelvane_layer compute core tools.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                parser_class=_Parser)
    profile_help = f"tuning profile ({', '.join(PROFILES)}; default balanced)"

    p = sub.add_parser("health", help="kelvane score and cognitive health of a statistics map")
    p.add_argument("stats", nargs="?", metavar="STATS.json",
                   help="statistics map as JSON (default: the bundled sample)")
    p.add_argument("--profile", default="balanced", metavar="NAME", help=profile_help)
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    p.set_defaults(handler=_cmd_health)

    p = sub.add_parser("profiles", help="the six tuning profiles side by side")
    p.add_argument("--json", action="store_true", help="print every profile as JSON")
    p.set_defaults(handler=_cmd_profiles)

    p = sub.add_parser("demo", help="end-to-end reflection-cycle demonstration")
    p.add_argument("--profile", default="balanced", metavar="NAME", help=profile_help)
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    p.set_defaults(handler=_cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        args = _parser().parse_args(argv)
        return int(args.handler(args))
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:
        # The reader went away (`... | head`); stop quietly, and keep the
        # interpreter from complaining again when it flushes stdout at exit.
        import os

        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
