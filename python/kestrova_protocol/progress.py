"""Progress and the closing line of each step, as records of the `kestrova_protocol` logger.

The library prints nothing: the command (or the calling program) decides
where records go. Each record carries its figures as `record.kestrova`, a
dict with at least `step` and `event`, for a structured handler.
"""

from __future__ import annotations

import collections
import logging
import os
import time
from typing import Any, Callable, Deque, Dict, Optional, Tuple

from .errors import PartyError

log = logging.getLogger("kestrova_protocol")


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    # 0: a record at every update (tests and logs that want each step).
    if not 0 <= value < float("inf"):
        raise PartyError(f"KESTROVA_PROGRESS_SECONDS={text}: expected a number of seconds (0 or more)")
    return value


# One progress record this often (seconds), in every phase.
EVERY = 10.0
# The rate behind the time left: over this recent window, not since the phase began.
WINDOW = 60.0


def every() -> float:
    text = os.environ.get("KESTROVA_PROGRESS_SECONDS")
    return EVERY if text is None else _seconds(text)


def emit(level: int, text: str, **fields: Any) -> None:
    log.log(level, text, extra={"kestrova": fields})


Measure = Callable[[], Optional[Tuple[int, int]]]


class Progress:
    """Items done, and where a total is known the percentage and time left; a record every `every` s.

    `measure` gives (done, total) in other units where the items' total is
    not known, such as the bytes of a table file read so far.
    """

    def __init__(self, step: str, phase: str, unit: str, total: Optional[int] = None,
                 measure: Optional[Measure] = None, interval: Optional[float] = None,
                 quiet: bool = False):
        self.step, self.phase, self.unit, self.total, self.measure = step, phase, unit, total, measure
        self.every = every() if interval is None else interval
        self.quiet = quiet
        self.start = self.last = time.monotonic()
        self.done = 0
        self._window: Deque[Tuple[float, float, int]] = collections.deque([(self.start, 0.0, 0)])

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass

    def update(self, n: int) -> None:
        self.done += n
        self.set(self.done)

    def set(self, done: int) -> None:
        self.done = done
        now = time.monotonic()
        if self.quiet or now - self.last < self.every:
            return
        self.last = now
        self.report(now)

    def _fraction(self) -> Tuple[Optional[float], str]:
        if self.total:
            return min(1.0, self.done / self.total), f"{self.done:,} of {self.total:,} {self.unit}"
        measured = self.measure() if self.measure else None
        if measured and measured[1]:
            done, total = measured
            return (min(1.0, done / total),
                    f"{self.done:,} {self.unit}, {done:,} of {total:,} bytes read")
        return None, f"{self.done:,} {self.unit}"

    def report(self, now: float) -> None:
        fraction, text = self._fraction()
        window = self._window
        window.append((now, fraction or 0.0, self.done))
        while len(window) > 2 and now - window[1][0] >= WINDOW:
            window.popleft()
        then, fraction_then, done_then = window[0]
        span = now - then
        rate = (self.done - done_then) / span if span > 0 else 0.0
        fields: Dict[str, Any] = {"step": self.step, "event": "progress", "phase": self.phase, "done": self.done,
                                  "unit": self.unit, "total": self.total, "rate": round(rate, 1),
                                  "seconds": round(now - self.start, 3)}
        text = f"{self.step}: {self.phase + ': ' if self.phase else ''}{text}"
        if fraction is not None:
            fields["percent"] = round(100 * fraction, 1)
            text += f" ({100 * fraction:.0f}%)"
        text += f", {rate:,.0f} {self.unit}/s"
        speed = (fraction - fraction_then) / span if fraction is not None and span > 0 else 0.0
        if fraction is not None and speed > 0:
            left = (1.0 - fraction) / speed
            fields["seconds_left"] = round(left, 1)
            text += f", {duration(left)} left"
        emit(logging.INFO, text, **fields)


def duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60:02d} s"
    return f"{seconds // 3600} h {seconds // 60 % 60:02d} min"


class Report:
    """One step's records: phases, notes about the data, progress, and the closing summary."""

    def __init__(self, step: str, quiet: bool = False):
        self.step = step
        self.quiet = quiet
        self.start = time.perf_counter()

    def bar(self, total: Optional[int], unit: str = "tx", phase: str = "", measure: Optional[Measure] = None
            ) -> Progress:
        return Progress(self.step, phase, unit, total, measure, quiet=self.quiet)

    def note(self, text: str, **fields: Any) -> None:
        """About the data (repeated rows dropped): a warning, not progress."""
        emit(logging.WARNING, f"{self.step}: {text}", step=self.step, event="note", **fields)

    def phase(self, text: str, **fields: Any) -> None:
        if not self.quiet:
            seconds = time.perf_counter() - self.start
            emit(logging.INFO, f"{self.step}: [{seconds:6.1f} s] {text}", step=self.step, event="phase",
                 seconds=round(seconds, 3), **fields)

    def done(self, items: int, unit: str, more: str = "", **fields: Any) -> Dict[str, Any]:
        seconds = time.perf_counter() - self.start
        rate = items / seconds if seconds > 0 else 0.0
        tail = f", {more}" if more else ""
        summary = {"step": self.step, "items": items, "seconds": seconds}
        emit(logging.INFO, f"{self.step}: {items:,} {unit} in {seconds:.2f} s ({rate:,.0f} {unit}/s){tail}",
             step=self.step, event="done", items=items, unit=unit, seconds=round(seconds, 3),
             rate=round(rate, 1), **fields)
        return dict(summary, **fields)
