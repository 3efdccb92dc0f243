"""The job line: a bounded-concurrency runner of named asynchronous jobs with single-predecessor dependencies, on the running asyncio event loop."""

import asyncio
from collections.abc import Awaitable, Coroutine
from typing import Any, SupportsFloat, SupportsInt, TypeVar, final

__all__ = ["Jobline"]

_T = TypeVar("_T")

@final
class Jobline:
    """Runs named asynchronous jobs on the running asyncio event loop, at most
    `max_concurrency` of them executing at once, each optionally after a named
    predecessor that must succeed first.

    `max_concurrency` is any number, truncated toward zero; below 1 is a ValueError.
    Use it from the event loop's thread only.
    """

    def __new__(cls, max_concurrency: SupportsInt | SupportsFloat = 2) -> Jobline: ...
    @property
    def _semaphore(self) -> asyncio.Semaphore: ...
    @property
    def _tasks(self) -> dict[str, asyncio.Task[Any]]: ...
    @property
    def _max_concurrency(self) -> int: ...
    @property
    def active_count(self) -> int:
        """Number of tracked jobs: submitted and not yet through their completion callback."""
    def submit(
        self, name: str, coro: Awaitable[_T], *, after: str | None = None
    ) -> asyncio.Task[_T]:
        """Run the coroutine `coro` as the job `name` and return its asyncio task.

        The task is created on the running event loop under `name` and tracked until its
        completion callback has run.  Its body first awaits the job named `after`, if any
        (the empty name waits for nothing): should that job fail or be cancelled, this job
        ends cancelled with "Predecessor '<after>' failed" and the error as its cause.
        It then takes one of the `max_concurrency` slots (first come, first served) and
        awaits `coro`, whose result or failure becomes the job's.

        Raises ValueError (and closes `coro`) when `name` is still tracked or `after` is
        not; TypeError for a name or `after` that is not a str; the loop's RuntimeError
        when no loop is running (then `coro` is left untouched).
        """
    def cancel_all(self) -> int:
        """Request the cancellation of every tracked job that is not done yet, in submission
        order, and return how many requests were made.  Entries leave when their jobs
        have finished cancelling.
        """
    def wait_all(
        self, timeout: SupportsFloat | None = None
    ) -> Coroutine[Any, Any, None]:
        """Awaitable: wait until every job tracked when the wait starts is done, or until
        `timeout` seconds (any number; None waits without limit) have passed.

        Completes at once when nothing is tracked.  Never raises for the jobs' failures,
        never consumes them and never cancels anything; a job that awaits it does not
        wait for itself.
        """
