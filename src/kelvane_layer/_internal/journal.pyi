"""Journal synthesis: prompt builder and reply parser."""

from typing import Any

__all__ = ["build_journal_prompt", "parse_journal_output"]

_JOURNAL_SYSTEM: str
_JOURNAL_USER: str

def build_journal_prompt(
    memories: list[dict[str, Any]],
) -> tuple[str, list[dict[str, str]]]: ...
def parse_journal_output(response: str) -> str: ...
