"""docs/performance.md is what bench/performance.py makes of the recorded figures, not a hand edit."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_the_page_is_written_from_the_recorded_figures():
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "performance.py"), "--check"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
