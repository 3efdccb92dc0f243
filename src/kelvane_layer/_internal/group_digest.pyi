"""Group digest of a team workspace: the system prompt, the user-prompt body rendered from the shared memories (highest team_score first) and the 16-hex-digit prompt hash that keys a synthesis run."""

from typing import Protocol, type_check_only

__all__ = ["GROUP_DIGEST_SYSTEM_PROMPT", "build_group_digest_prompt", "compute_prompt_hash"]

# For type checkers only: the shape of the host's SharedMemory that the
# digest reads (attributes, not keys).  Any object with these two fits.
@type_check_only
class SharedMemoryRow(Protocol):
    """What the digest reads of a shared memory: any object with these two attributes."""

    @property
    def team_score(self) -> float:
        """Workspace-level confidence of the memory; the rows are written highest first."""
    @property
    def content(self) -> object:
        """The memory's text: a str as it is, anything else in its plain text form."""

GROUP_DIGEST_SYSTEM_PROMPT: str
"""The digest's system prompt; ``build_group_digest_prompt`` renders the user prompt."""

# Lists are invariant: a host's list[SharedMemory] fits through the parameter.
def build_group_digest_prompt[R: SharedMemoryRow](rows: list[R]) -> str:
    """Render the digest body for ``rows`` (shared memories: objects with ``team_score`` and ``content`` attributes).

    The header line, then one ``- (score) content`` line per row, highest score first (ties keep their input order; NaN scores go last, in input order), then an empty line and the closing instruction; no final line feed.  Scores are written with three decimals, correctly rounded (ints exactly, followed by .000).

    Raises TypeError if ``rows`` is not a list or a score is not an int or float, AttributeError for a missing attribute (every score is read before any content).
    """
def compute_prompt_hash(prompt: str) -> str:
    """The first 16 lower-case hex digits of the SHA-256 digest of ``prompt`` in UTF-8.

    Raises TypeError if ``prompt`` is not a str, UnicodeEncodeError for a prompt holding an unpaired surrogate.  Long prompts are hashed without holding the GIL.
    """
