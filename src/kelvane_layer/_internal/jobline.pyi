"""The job line: bounded-concurrency runner of named asyncio jobs with predecessors."""

import asyncio
from collections.abc import Awaitable, Coroutine
from typing import Any, SupportsFloat, SupportsInt, TypeVar, final

__all__ = ["Jobline"]

_T = TypeVar("_T")

@final
class Jobline:
    def __new__(cls, max_concurrency: SupportsInt | SupportsFloat = 2) -> Jobline: ...
    @property
    def _semaphore(self) -> asyncio.Semaphore: ...
    @property
    def _tasks(self) -> dict[str, asyncio.Task[Any]]: ...
    @property
    def _max_concurrency(self) -> int: ...
    @property
    def active_count(self) -> int: ...
    def submit(
        self, name: str, coro: Awaitable[_T], *, after: str | None = None
    ) -> asyncio.Task[_T]: ...
    def cancel_all(self) -> int: ...
    def wait_all(
        self, timeout: SupportsFloat | None = None
    ) -> Coroutine[Any, Any, None]: ...
