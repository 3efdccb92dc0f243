"""Job line: per-job overhead of submitting and awaiting trivial jobs.

10,000 jobs with a limit of 8, independent and in chains of 10, submitted in
one turn and awaited with ``wait_all`` on one event loop.  The floor is bare
asyncio tasks with the same predecessor links; a plain-Python runner with the
same rules (below) is shown beside it.
"""

from __future__ import annotations

import asyncio
import atexit

from _harness import Workload

from kelvane_layer._internal.jobline import Jobline

JOBS = 10_000
LIMIT = 8
CHAIN = 10


class ReferenceJobline:
    """The same rules in plain Python: named tasks, one predecessor each, a
    FIFO semaphore around the job, untracking in the completion callback."""

    def __init__(self, max_concurrency: int = 2) -> None:
        if max_concurrency < 1:
            raise ValueError("max_concurrency must be at least 1")
        self._semaphore = asyncio.Semaphore(max_concurrency)
        self._tasks: dict[str, asyncio.Task] = {}
        self._max_concurrency = max_concurrency

    @property
    def active_count(self) -> int:
        return len(self._tasks)

    def submit(self, name, coro, *, after=None):
        if name in self._tasks:
            coro.close()
            raise ValueError(f"Task {name!r} already submitted")
        if after is not None and after not in self._tasks:
            coro.close()
            raise ValueError(f"Predecessor task {after!r} not found")
        pred = self._tasks[after] if after else None
        task = asyncio.get_running_loop().create_task(
            self._wrapper(coro, after, pred), name=name
        )
        self._tasks[name] = task

        def on_done(t, name=name, coro=coro):
            if self._tasks.get(name) is t:
                del self._tasks[name]
            coro.close()

        task.add_done_callback(on_done)
        return task

    async def _wrapper(self, coro, after, pred):
        if pred is not None:
            try:
                await pred
            except (asyncio.CancelledError, Exception) as e:
                raise asyncio.CancelledError(f"Predecessor {after!r} failed") from e
        async with self._semaphore:
            return await coro

    def cancel_all(self) -> int:
        count = 0
        for task in list(self._tasks.values()):
            if not task.done():
                task.cancel()
                count += 1
        return count

    async def wait_all(self, timeout=None) -> None:
        if not self._tasks:
            return
        current = asyncio.current_task()
        snapshot = [t for t in self._tasks.values() if t is not current]
        if snapshot:
            await asyncio.wait(snapshot, timeout=timeout)


async def trivial():
    return None


def scenario(cls, chained: bool):
    names = [f"job{i}" for i in range(JOBS)]

    async def main():
        jl = cls(LIMIT)
        submit = jl.submit
        for i, name in enumerate(names):
            if chained and i % CHAIN:
                submit(name, trivial(), after=names[i - 1])
            else:
                submit(name, trivial())
        await jl.wait_all()
        await asyncio.sleep(0)  # let the last completion callbacks run
        assert jl.active_count == 0

    return main


async def _linked(pred):
    await pred
    return await trivial()


def bare_tasks(chained: bool):
    """The floor every runner pays: one named asyncio task per job, a task that
    first awaits its predecessor where the job has one, and one asyncio.wait
    over all of them (no limit and no tracking)."""
    names = [f"job{i}" for i in range(JOBS)]

    async def main():
        create = asyncio.get_running_loop().create_task
        tasks = []
        for i, name in enumerate(names):
            if chained and i % CHAIN:
                tasks.append(create(_linked(tasks[-1]), name=name))
            else:
                tasks.append(create(trivial(), name=name))
        await asyncio.wait(tasks)

    return main


def workloads() -> list[Workload]:
    loop = asyncio.new_event_loop()
    atexit.register(loop.close)
    run = loop.run_until_complete
    out = []
    for chained, label in ((False, "independent"), (True, f"chains of {CHAIN}")):
        ours, ref, floor = (scenario(Jobline, chained), scenario(ReferenceJobline, chained),
                            bare_tasks(chained))
        run(ours())
        out.append(Workload(
            "Jobline submit+wait_all (per job)", f"{JOBS} trivial jobs, limit {LIMIT}, {label}",
            lambda m=ours: run(m()), {"bare asyncio tasks": lambda m=floor: run(m())},
            peers={"plain-Python runner": lambda m=ref: run(m())}, per=JOBS, once=True))
    return out
