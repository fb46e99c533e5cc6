"""How a table row becomes the key the module stores and looks up."""

from __future__ import annotations

import unicodedata
from typing import List, Sequence

NFC = "nfc"
PLAIN = "plain"
KEYINGS = (NFC, PLAIN)
SEPARATOR = "\x1f"  # the ASCII unit separator; no sane account field holds it

# Stored in a file header; 0 means "not known" (a bare store read with --raw).
CODES = {NFC: 1, PLAIN: 2}
NAMES = {code: name for name, code in CODES.items()}


def row_key(cells: Sequence[str], keying: str) -> List[str]:
    """The row as the module receives it.

    The module joins a row's strings with nothing between them, so ["ab", "c"]
    and ["a", "bc"] would be one key, and two spellings of "Zoë" two keys. The
    default keying normalises every cell and joins them with U+001F into one
    string; a cell holding U+001F itself would make that ambiguous again and
    is refused.
    """
    if keying == PLAIN:
        return list(cells)
    for cell in cells:
        if SEPARATOR in cell:
            raise ValueError("a value contains U+001F, the column separator of the default keying "
                             "(use --keying plain to keep such values)")
    return [SEPARATOR.join(unicodedata.normalize("NFC", cell) for cell in cells)]
