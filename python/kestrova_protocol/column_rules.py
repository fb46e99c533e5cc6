"""The columns a key is made of and each column's rules: as named on the command line and as a store
records them."""

from __future__ import annotations

import dataclasses
from typing import List, Optional, Sequence, Tuple

NFC = "nfc"
PLAIN = "plain"
KEYINGS = (NFC, PLAIN)
SEPARATOR = "\x1f"  # the ASCII unit separator; no sane account field holds it
SHOWN_SEPARATOR = "\u241f"  # how `keys` prints it

# Stored in a file header; 0 means "not known" (a bare store read with --raw).
CODES = {NFC: 1, PLAIN: 2}
NAMES = {code: name for name, code in CODES.items()}

# Per-column normalisations on top of NFC, recorded in the store so that `query` applies the same.
RULES = {"trim": 1, "compact": 2, "casefold": 4, "iban": 8, "latin": 16, "alnum": 32, "legalform": 64,
         "words": 128}
# Several rules under one name: what a bank would use for its holders' names. Without spaces, so that
# "O'Brien", "OBrien" and "O Brien" are one name.
PROFILES = {"name": ("trim", "casefold", "latin", "alnum", "legalform", "compact")}
CONTINUING = tuple(r for r in RULES if r != "iban")
RULES_BYTES = 16  # one count byte, then one byte of rule bits per column
MAX_COLUMNS = RULES_BYTES - 1

# Rules that read a data table (transliteration, legal forms, IBAN lengths): a store keyed with them
# records the tables' version.
TABLE_RULES = ("iban", "latin", "legalform")


@dataclasses.dataclass(frozen=True)
class Column:
    name: str
    rules: Tuple[str, ...] = ()


def expand(rules: Sequence[str]) -> Tuple[str, ...]:
    """Profiles as their rules, each rule once."""
    out: List[str] = []
    for rule in rules:
        for r in PROFILES.get(rule, (rule,)):
            if r not in out:
                out.append(r)
    return tuple(out)


def parse_columns(text: str) -> List[Column]:
    """'account:compact,name:trim,casefold' (or name:trim+casefold): columns, each with its rules.

    A bare rule name right after a column with rules is one more rule of that column, but for `iban`
    and `name`, which are as often the names of columns.
    """
    known = tuple(RULES) + tuple(PROFILES)
    columns: List[Column] = []
    for token in (t.strip() for t in text.split(",")):
        if not token:
            continue
        name, _, rules_text = token.partition(":")
        rules = tuple(r.strip() for r in rules_text.replace("+", ",").split(",") if r.strip())
        if not rules_text and token in CONTINUING and columns and columns[-1].rules:
            columns[-1] = Column(columns[-1].name, expand(columns[-1].rules + (token,)))
            continue
        unknown = [r for r in rules if r not in known]
        if unknown:
            raise ValueError(f"unknown normalisation {unknown[0]!r} (known: {', '.join(known)})")
        columns.append(Column(name.strip(), expand(rules)))
    if not columns:
        raise ValueError("expected one or more comma-separated column names")
    return columns


def pack_rules(columns: Sequence[Column]) -> bytes:
    if len(columns) > MAX_COLUMNS:
        raise ValueError(f"at most {MAX_COLUMNS} columns make a row")
    bits = bytes(sum(RULES[r] for r in set(expand(c.rules))) for c in columns)
    return (bytes([len(columns)]) + bits).ljust(RULES_BYTES, b"\0")


def unpack_rules(data: bytes) -> Optional[List[Tuple[str, ...]]]:
    """The rules per column a store was keyed with; None when it recorded none (NFC alone)."""
    if not data[0]:
        return None
    return [tuple(name for name, b in RULES.items() if bits & b) for bits in data[1:1 + data[0]]]


def rules_problem(data: bytes) -> str:
    count = data[0]
    if count > MAX_COLUMNS or any(data[1 + count:]):
        return "its header's column normalisations are not valid"
    return ""


def reads_tables(rules: Optional[Sequence[Sequence[str]]]) -> bool:
    return bool(rules) and any(r in TABLE_RULES for column in rules for r in column)


def describe(rules: Optional[Sequence[Tuple[str, ...]]]) -> str:
    if rules is None:
        return "NFC"
    return ", ".join("+".join(("nfc",) + tuple(r)) for r in rules)
