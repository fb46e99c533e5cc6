"""Progress on stderr and the closing line of each step."""

from __future__ import annotations

import sys
import time
from typing import Optional

from tqdm import tqdm


class Report:
    def __init__(self, step: str, quiet: bool = False):
        self.step = step
        self.quiet = quiet
        self.start = time.perf_counter()

    def bar(self, total: Optional[int], unit: str = "tx") -> tqdm:
        # None: no bar when stderr is not a terminal (a log would keep every redraw).
        return tqdm(total=total, desc=self.step, unit=unit, unit_scale=True, file=sys.stderr,
                    disable=True if self.quiet else None, mininterval=0.5, leave=False)

    def note(self, text: str) -> None:
        """Said even with --quiet: it is about the data, not the progress."""
        print(f"{self.step}: {text}", file=sys.stderr, flush=True)

    def phase(self, text: str) -> None:
        if not self.quiet:
            print(f"{self.step}: [{time.perf_counter() - self.start:6.1f} s] {text}", file=sys.stderr, flush=True)

    def done(self, items: int, unit: str) -> dict:
        seconds = time.perf_counter() - self.start
        rate = items / seconds if seconds > 0 else 0.0
        print(f"{self.step}: {items:,} {unit} in {seconds:.2f} s ({rate:,.0f} {unit}/s)", file=sys.stderr, flush=True)
        return {"step": self.step, "items": items, "seconds": seconds}
