"""Health scoring: the memory-diversity and reinforcement sub-scores, the composite kelvane score in [0, 1], the four-way cognitive-health classifier and its troubleshooting link.

The statistics map `stats` (as the storage back-end reports it) holds sections, each
a map.  An absent section counts as an empty map and an absent key takes its
default; a present section must be a map.  Integer values are converted with int()
(a float truncates toward zero), floating-point values with float().  Sections and
keys other than these are ignored without a word.

  section     key                kind                          default  read by
  memory      event_type_counts  map: event type -> integer    {}       score
  memory      reinforced_count   integer                       0        score, classifier
  memory      total_memories     integer                       0        score, classifier
  memory      captures_7d        integer                       0        classifier
  dreams      runs_7d            integer                       0        score, classifier
  dreams      failure_count_7d   integer                       0        score, classifier
  dreams      success_rate_7d    floating-point                1.0      classifier
  critic      pass_rate_7d       floating-point                1.0      score
  journals    entries_7d         integer                       0        score
  directives  demotion_rate_7d   floating-point                0.0      classifier

reinforced_count counts memories reinforced at least once; captures_7d, runs_7d,
failure_count_7d (failed cycles among runs_7d), entries_7d (journal entries) and the
three rates cover the last seven days.
"""

from collections.abc import Mapping
from typing import TypedDict, type_check_only

from kelvane_layer._internal.tuning_profile import TuningProfile

# The classifier returns members of the host's own enumeration, which the
# module imports when it loads (it cannot load without the host), so a host's
# checker sees its own type: assignments to it and exhaustive matches over its
# four members need no cast.  Where no host is installed (the core checked on
# its own), the import is unresolved and the type degrades to Any rather than
# making every checker of these stubs fail; an untyped host degrades the same.
from kelvane_layer.types import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
    CognitiveHealthStatus,
)

__all__ = [
    "REMEDY_URL_BASE",
    "classify_cognitive_health",
    "compute_memory_diversity",
    "compute_reinforcement_ratio",
    "compute_kelvane_score",
    "remedy_url_for",
]

# The types below exist for type checkers only: import them under
# ``if TYPE_CHECKING:`` (or in string annotations), never at run time.

@type_check_only
class MemoryStats(TypedDict, total=False):
    """The ``memory`` section of the statistics map."""

    event_type_counts: Mapping[str, int]  # memories per event type; default {}
    reinforced_count: int  # memories reinforced at least once; default 0
    total_memories: int  # memories stored; default 0
    captures_7d: int  # memories captured in the last seven days; default 0

@type_check_only
class DreamStats(TypedDict, total=False):
    """The ``dreams`` section: the reflection cycles of the last seven days."""

    runs_7d: int  # reflection cycles run in the last seven days; default 0
    failure_count_7d: int  # of those, cycles that failed; default 0
    success_rate_7d: float  # success rate of those cycles; default 1.0

@type_check_only
class CriticStats(TypedDict, total=False):
    """The ``critic`` section of the statistics map."""

    pass_rate_7d: float  # the critic's pass rate over seven days; default 1.0

@type_check_only
class JournalStats(TypedDict, total=False):
    """The ``journals`` section of the statistics map."""

    entries_7d: int  # journal entries written in the last seven days; default 0

@type_check_only
class DirectiveStats(TypedDict, total=False):
    """The ``directives`` section of the statistics map."""

    demotion_rate_7d: float  # share of directives demoted in seven days; default 0.0

@type_check_only
class HealthStats(TypedDict, total=False):
    """Every section and key that the health functions read (all optional)."""

    memory: MemoryStats
    dreams: DreamStats
    critic: CriticStats
    journals: JournalStats
    directives: DirectiveStats

REMEDY_URL_BASE: str
"""Start of every troubleshooting link: the link is this, '/' and the status's value."""

# ``stats`` is typed as any text-keyed mapping so that a back-end's
# dict[str, Any], a parsed JSON object and a host's own TypedDict all fit;
# HealthStats spells out the keys that are read.
def classify_cognitive_health(
    stats: Mapping[str, object], kelvane_score: float, admin: TuningProfile
) -> CognitiveHealthStatus:
    """The cognitive-health bucket (a CognitiveHealthStatus) of an agent.

    Tests in a fixed order, the first that holds deciding: OVERLOADED (seven-day dream
    failure rate above the profile's threshold), DRIFTING (demotion rate above its
    threshold), STAGNANT (few captures and little reinforcement), HEALTHY (score and dream
    success rate at or above their thresholds), otherwise STAGNANT.  Pass the score from
    compute_kelvane_score() with the same statistics and profile.

    Reads, each absent key taking its default: memory.reinforced_count,
    memory.total_memories, memory.captures_7d, dreams.runs_7d, dreams.failure_count_7d
    (integers, default 0), dreams.success_rate_7d (float, default 1.0; taken as 1.0 when
    there were no runs) and directives.demotion_rate_7d (float, default 0.0).  The module
    docstring lists every statistics key.
    """
def compute_memory_diversity(event_type_counts: Mapping[str, float]) -> float:
    """Normalised Shannon entropy (base 2) of the event-type counts, in [0, 1].

    0.0 for an empty map, a single type or a total of zero or less; keys with zero counts
    widen the maximum without adding entropy.  Every count must be a number (a non-integer
    is truncated toward zero).
    """
def compute_reinforcement_ratio(reinforced_count: float, total_memories: float) -> float:
    """Fraction of memories reinforced at least once, clamped to [0, 1]; 0.0 when there are
    no memories.
    """
def compute_kelvane_score(stats: Mapping[str, object], admin: TuningProfile) -> float:
    """The composite kelvane score in [0, 1] of a statistics map under a TuningProfile.

    Weighs memory diversity, directive coherence (critic pass rate), dream health,
    reinforcement ratio and journal cadence with the profile's five kelvane weights,
    renormalised to sum to 1 (0.0 when they sum to zero or less).

    Reads, each absent key taking its default: memory.event_type_counts (map of event
    type to integer count, default {}), memory.reinforced_count, memory.total_memories,
    dreams.runs_7d, dreams.failure_count_7d, journals.entries_7d (integers, default 0)
    and critic.pass_rate_7d (float, default 1.0).  The module docstring lists every
    statistics key.
    """
def remedy_url_for(status: CognitiveHealthStatus) -> str | None:
    """Troubleshooting link for a health status: REMEDY_URL_BASE, '/', and the status's
    value; None for HEALTHY.  Raises TypeError unless ``status`` is a member of the
    host's CognitiveHealthStatus.
    """
def _journal_frequency_score(entries_7d: float, target_days: float) -> float: ...
