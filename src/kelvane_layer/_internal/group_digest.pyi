"""Group digest of a team workspace: system prompt, body builder, prompt hash."""

from typing import Any

__all__ = ["GROUP_DIGEST_SYSTEM_PROMPT", "build_group_digest_prompt", "compute_prompt_hash"]

GROUP_DIGEST_SYSTEM_PROMPT: str

def build_group_digest_prompt(rows: list[Any]) -> str: ...
def compute_prompt_hash(prompt: str) -> str: ...
