"""The batches of a streamed step run in this process, results in batch order.

A step's work on one batch is a function of `engine` (the batch first, then
the few values every batch shares: keys, stores), which keeps no state, so
`cluster` may run the same work elsewhere as long as it hands the results
back in batch order. A refusal comes back as a value that names its batch.
"""

from __future__ import annotations

import contextlib
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Callable, Deque, Iterable, Iterator, TypeVar

from . import engine
from .errors import PartyError


class Refused:
    """The engine's refusal of a batch, as a value: a driver elsewhere gets it back
    unchanged, and Dask does not retry a batch that would only fail again."""

    def __init__(self, text: str):
        self.text = text

    def error(self, step: str, number: int) -> PartyError:
        return PartyError(f"{step}: the engine refused batch {number}: {self.text}")


def guarded(work: Callable[..., object], *args):
    """`work(*args)`, or a Refused when the engine refuses the data."""
    try:
        return work(*args)
    except engine.Refusal as e:
        return Refused(str(e))


def in_order(step: str, work: Callable[..., object], batches: Iterable[tuple], *shared) -> Iterator:
    """Runs `work(*batch, *shared)` for each batch here, results in batch order.

    One batch computes on a thread of its own (the engine lets go of the
    interpreter lock) while this one reads the next and writes the last, so at
    most three batches are held. A refusal by the engine names the batch,
    as a remote run does.
    """
    def one(batch: tuple) -> object:
        return guarded(work, *batch, *shared)

    with contextlib.closing(ahead(one, batches, 1, "kestrova-batch")) as results:
        for number, result in enumerate(results):
            if isinstance(result, Refused):
                raise result.error(step, number)
            yield result


Item = TypeVar("Item")
Result = TypeVar("Result")


def ahead(work: Callable[[Item], Result], items: Iterable[Item], workers: int,
          name: str = "kestrova-keys") -> Iterator[Result]:
    """`work(item)` for each item on `workers` threads (at least one), results in order, while this
    thread takes the next items and uses the last results: at most workers + 1 items are held."""
    workers = max(workers, 1)
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix=name)
    pending: Deque[Future] = deque()
    try:
        for item in items:
            pending.append(pool.submit(work, item))
            if len(pending) > workers:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        # A stop or a failure waits only for the items already running.
        pool.shutdown(wait=True, cancel_futures=True)
