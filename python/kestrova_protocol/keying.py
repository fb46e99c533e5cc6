"""How a table row becomes the key the module stores and looks up."""

from __future__ import annotations

import dataclasses
import unicodedata
from typing import List, Optional, Sequence, Tuple

NFC = "nfc"
PLAIN = "plain"
KEYINGS = (NFC, PLAIN)
SEPARATOR = "\x1f"  # the ASCII unit separator; no sane account field holds it

# Stored in a file header; 0 means "not known" (a bare store read with --raw).
CODES = {NFC: 1, PLAIN: 2}
NAMES = {code: name for name, code in CODES.items()}

# Per-column normalisations on top of NFC, recorded in the store so that `query` applies the same.
RULES = {"trim": 1, "compact": 2, "casefold": 4}
RULES_BYTES = 16  # one count byte, then one byte of rule bits per column
MAX_COLUMNS = RULES_BYTES - 1


@dataclasses.dataclass(frozen=True)
class Column:
    name: str
    rules: Tuple[str, ...] = ()


def parse_columns(text: str) -> List[Column]:
    """'account:compact,name:trim,casefold' (or name:trim+casefold): columns, each with its rules.

    A bare rule name right after a column with rules is one more rule of that column.
    """
    columns: List[Column] = []
    for token in (t.strip() for t in text.split(",")):
        if not token:
            continue
        name, _, rules_text = token.partition(":")
        rules = tuple(r.strip() for r in rules_text.replace("+", ",").split(",") if r.strip())
        if not rules_text and token in RULES and columns and columns[-1].rules:
            columns[-1] = Column(columns[-1].name, columns[-1].rules + (token,))
            continue
        unknown = [r for r in rules if r not in RULES]
        if unknown:
            raise ValueError(f"unknown normalisation {unknown[0]!r} (known: {', '.join(RULES)})")
        columns.append(Column(name.strip(), rules))
    if not columns:
        raise ValueError("expected one or more comma-separated column names")
    return columns


def normalise(cell: str, rules: Sequence[str]) -> str:
    cell = unicodedata.normalize("NFC", cell)
    if "casefold" in rules:
        cell = unicodedata.normalize("NFC", cell.casefold())
    if "compact" in rules:
        cell = "".join(cell.split())
    elif "trim" in rules:
        cell = " ".join(cell.split())
    return cell


def pack_rules(columns: Sequence[Column]) -> bytes:
    if len(columns) > MAX_COLUMNS:
        raise ValueError(f"at most {MAX_COLUMNS} columns make a row")
    bits = bytes(sum(RULES[r] for r in set(c.rules)) for c in columns)
    return (bytes([len(columns)]) + bits).ljust(RULES_BYTES, b"\0")


def unpack_rules(data: bytes) -> Optional[List[Tuple[str, ...]]]:
    """The rules per column a store was keyed with; None when it recorded none (NFC alone)."""
    if not data[0]:
        return None
    return [tuple(name for name, b in RULES.items() if bits & b) for bits in data[1:1 + data[0]]]


def rules_problem(data: bytes) -> str:
    count = data[0]
    known = sum(RULES.values())
    if count > MAX_COLUMNS or any(b & ~known for b in data[1:1 + count]) or any(data[1 + count:]):
        return "its header's column normalisations are not valid"
    return ""


def describe(rules: Optional[Sequence[Tuple[str, ...]]]) -> str:
    if rules is None:
        return "NFC"
    return ", ".join("+".join(("nfc",) + tuple(r)) for r in rules)


def row_key(cells: Sequence[str], keying: str, rules: Optional[Sequence[Sequence[str]]] = None) -> List[str]:
    """The row as the module receives it.

    The module joins a row's strings with nothing between them, so ["ab", "c"]
    and ["a", "bc"] would be one key, and two spellings of "Zoë" two keys. The
    default keying normalises every cell (NFC, then the column's rules) and
    joins them with U+001F into one string; a cell holding U+001F itself
    would make that ambiguous again and is refused.
    """
    if keying == PLAIN:
        return list(cells)
    for cell in cells:
        if SEPARATOR in cell:
            raise ValueError("a value contains U+001F, the column separator of the default keying "
                             "(use --keying plain to keep such values)")
    if rules is None:
        return [SEPARATOR.join(unicodedata.normalize("NFC", cell) for cell in cells)]
    return [SEPARATOR.join(normalise(cell, r) for cell, r in zip(cells, rules))]


# ---------------------------------------------------------------- whole columns at once (Arrow)

from typing import TYPE_CHECKING  # noqa: E402

if TYPE_CHECKING:
    import pyarrow as pa

# Python's str.split() white space, which `normalise` collapses: RE2's \s is ASCII alone.
_SPACE = "[\\t\\n\\x0b\\x0c\\r\\x1c-\\x1f \\x{85}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}\\x{2028}\\x{2029}\\x{202f}" \
         "\\x{205f}\\x{3000}]+"


def normalise_column(values: "pa.Array", rules: Sequence[str]) -> "pa.Array":
    """`normalise` over a whole text column: NFC, then the column's rules."""
    import pyarrow.compute as pc

    values = _nfc(values)
    if "casefold" in rules:
        values = _nfc(_casefold(values))
    if "compact" in rules:
        values = pc.replace_substring_regex(values, _SPACE, "")
    elif "trim" in rules:
        values = pc.utf8_trim(pc.replace_substring_regex(values, _SPACE, " "), " ")
    return values


def _nfc(values: "pa.Array") -> "pa.Array":
    # ASCII is NFC already: only the other values go through the normaliser.
    import pyarrow.compute as pc

    other = pc.invert(pc.string_is_ascii(values))
    if not pc.any(other).as_py():
        return values
    return pc.replace_with_mask(values, other, pc.utf8_normalize(pc.filter(values, other), form="NFC"))


def _casefold(values: "pa.Array") -> "pa.Array":
    # Arrow lowers case but does not fold it (ß, ς): the few values outside ASCII go through Python.
    import pyarrow as pa
    import pyarrow.compute as pc

    ascii_ = pc.string_is_ascii(values)
    lowered = pc.utf8_lower(values)
    if pc.all(ascii_).as_py() is not False:
        return lowered
    folded = pa.array([v.casefold() for v in pc.filter(values, pc.invert(ascii_)).to_pylist()], values.type)
    return pc.replace_with_mask(lowered, pc.invert(ascii_), folded)


def join_columns(columns: Sequence["pa.Array"]) -> "pa.Array":
    """The columns joined with U+001F, row by row; a value holding U+001F is refused (ValueError)."""
    import pyarrow.compute as pc

    for column in columns:
        if pc.any(pc.match_substring(column, SEPARATOR)).as_py():
            raise ValueError("a value contains U+001F, the column separator of the default keying "
                             "(use --keying plain to keep such values)")
    return pc.binary_join_element_wise(*columns, SEPARATOR)
