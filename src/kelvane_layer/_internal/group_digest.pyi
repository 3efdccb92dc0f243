"""Group digest of a team workspace: system prompt, body builder, prompt hash."""

from typing import Protocol, type_check_only

__all__ = ["GROUP_DIGEST_SYSTEM_PROMPT", "build_group_digest_prompt", "compute_prompt_hash"]

# For type checkers only: the shape of the host's SharedMemory that the
# digest reads (attributes, not keys).  Any object with these two fits.
@type_check_only
class SharedMemoryRow(Protocol):
    @property
    def team_score(self) -> float: ...
    @property
    def content(self) -> object: ...

GROUP_DIGEST_SYSTEM_PROMPT: str

# Lists are invariant: a host's list[SharedMemory] fits through the parameter.
def build_group_digest_prompt[R: SharedMemoryRow](rows: list[R]) -> str: ...
def compute_prompt_hash(prompt: str) -> str: ...
