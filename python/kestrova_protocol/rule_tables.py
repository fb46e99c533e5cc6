"""The data tables the column rules read (transliteration, legal forms, IBAN lengths), as the engine
takes them. Generated files in rules_tables/, written by tools/make_rules_tables.py."""

from __future__ import annotations

import array
import functools
import json
import pathlib
from typing import Dict, Tuple

_TABLES = pathlib.Path(__file__).resolve().parent / "rules_tables"


@functools.lru_cache(maxsize=None)
def table(name: str) -> dict:
    return json.loads((_TABLES / f"{name}.json").read_text(encoding="utf-8"))


@functools.lru_cache(maxsize=None)
def latin_map() -> Dict[int, str]:
    return {int(cp, 16): text for cp, text in table("latin")["map"].items()}


@functools.lru_cache(maxsize=None)
def latin_table() -> Tuple[bytes, bytes, bytes]:
    """The transliteration as the engine takes it: code points ascending, replacement offsets, replacements."""
    items = sorted(latin_map().items())
    text = bytearray()
    offsets = array.array("I", [0])
    for _, replacement in items:
        text += replacement.encode("utf-8")
        offsets.append(len(text))
    return array.array("I", [cp for cp, _ in items]).tobytes(), offsets.tobytes(), bytes(text)


@functools.lru_cache(maxsize=None)
def legal_forms(rules: frozenset):
    """The table's legal forms as the column's earlier rules leave them (lower case), a large_string array."""
    import pyarrow as pa
    import pyarrow.compute as pc
    from .normalise import normalise_column
    earlier = [r for r in rules if r not in ("legalform", "words", "compact", "trim")]
    terms = normalise_column(pa.array(table("legal_forms")["terms"]), earlier + ["alnum"])
    if "casefold" not in rules:
        terms = pc.utf8_lower(terms)
    # A one-letter "form" would be an initial ("Jan P"); ae and oe become one letter under `latin`.
    return pa.array(sorted({t for t in terms.to_pylist() if len(t) > 1}), pa.large_string())


@functools.lru_cache(maxsize=None)
def iban_lengths() -> Dict[str, int]:
    return table("iban_lengths")["lengths"]


@functools.lru_cache(maxsize=None)
def iban_length_table() -> bytes:
    """The lengths by country as the engine reads them: one byte per pair of capital letters."""
    lengths = bytearray(26 * 26)
    for country, length in iban_lengths().items():
        lengths[26 * (ord(country[0]) - 65) + ord(country[1]) - 65] = length
    return bytes(lengths)
