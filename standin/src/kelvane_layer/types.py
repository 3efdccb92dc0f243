"""Stand-in for the host SDK's types module.

In production the SDK supplies ``kelvane_layer.types`` itself; this module
holds the least of it that the compute core touches, so the core can be
built, tested and demonstrated on its own:

* ``CognitiveHealthStatus`` -- the four health buckets, read by
  ``kelvane_layer._internal.health``;
* ``SharedMemory`` -- a memory shared in a team workspace, read by
  ``kelvane_layer._internal.group_digest``.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass

__all__ = ["CognitiveHealthStatus", "SharedMemory"]


class CognitiveHealthStatus(enum.Enum):
    """Qualitative health bucket of an agent, as shown in the health report.

    The value texts form the last path segment of the troubleshooting link.
    """

    HEALTHY = "healthy"
    DRIFTING = "drifting"
    OVERLOADED = "overloaded"
    STAGNANT = "stagnant"


@dataclass(frozen=True, slots=True)
class SharedMemory:
    """A memory that an agent shared into a team workspace.

    ``team_score`` is the workspace-level confidence of the memory (highest
    first in the group digest); ``content`` is its text.
    """

    content: str
    team_score: float = 0.0
    agent_id: str = ""
