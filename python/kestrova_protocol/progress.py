"""Progress on stderr and the closing line of each step."""

from __future__ import annotations

import sys
import time
from typing import Optional

import os

from .errors import PartyError

# Without a terminal (a log, a scheduler), one plain line this often (seconds).
PLAIN_EVERY = 10.0


def plain_every() -> float:
    """KESTROVA_PROGRESS_SECONDS, or PLAIN_EVERY; read when a step starts, so that a bad value is its error."""
    text = os.environ.get("KESTROVA_PROGRESS_SECONDS")
    if text is None:
        return PLAIN_EVERY
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < float("inf"):
        raise PartyError(f"KESTROVA_PROGRESS_SECONDS={text}: expected a number of seconds (0 or more)")
    return value


class PlainProgress:
    """Items done, rate and time left, one line every PLAIN_EVERY seconds."""

    def __init__(self, step: str, total: Optional[int], unit: str, every: Optional[float] = None):
        self.step, self.total, self.unit = step, total, unit
        self.every = plain_every() if every is None else every
        self.start = self.last = time.monotonic()
        self.done = 0

    def __enter__(self) -> "PlainProgress":
        return self

    def __exit__(self, *exc) -> None:
        pass

    def update(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if now - self.last < self.every:
            return
        self.last = now
        rate = self.done / (now - self.start)
        text = f"{self.step}: {self.done:,}"
        if self.total:
            text += f" of {self.total:,} {self.unit} ({100 * self.done / self.total:.0f}%)"
        else:
            text += f" {self.unit}"
        text += f", {rate:,.0f} {self.unit}/s"
        if self.total and rate > 0:
            text += f", {_duration((self.total - self.done) / rate)} left"
        print(text, file=sys.stderr, flush=True)


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60:02d} s"
    return f"{seconds // 3600} h {seconds // 60 % 60:02d} min"


class _Silent:
    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        pass

    def update(self, n: int) -> None:
        pass


class Report:
    def __init__(self, step: str, quiet: bool = False):
        self.step = step
        self.quiet = quiet
        self.every = plain_every()  # a bad setting is refused before any work
        self.start = time.perf_counter()

    def bar(self, total: Optional[int], unit: str = "tx"):
        if self.quiet:
            return _Silent()
        if not sys.stderr.isatty():
            return PlainProgress(self.step, total, unit, self.every)
        from tqdm import tqdm
        return tqdm(total=total, desc=self.step, unit=unit, unit_scale=True, file=sys.stderr,
                    mininterval=0.5, leave=False)

    def note(self, text: str) -> None:
        """Said even with --quiet: it is about the data, not the progress."""
        print(f"{self.step}: {text}", file=sys.stderr, flush=True)

    def phase(self, text: str) -> None:
        if not self.quiet:
            print(f"{self.step}: [{time.perf_counter() - self.start:6.1f} s] {text}", file=sys.stderr, flush=True)

    def done(self, items: int, unit: str, more: str = "") -> dict:
        seconds = time.perf_counter() - self.start
        rate = items / seconds if seconds > 0 else 0.0
        tail = f", {more}" if more else ""
        print(f"{self.step}: {items:,} {unit} in {seconds:.2f} s ({rate:,.0f} {unit}/s){tail}", file=sys.stderr,
              flush=True)
        return {"step": self.step, "items": items, "seconds": seconds}
