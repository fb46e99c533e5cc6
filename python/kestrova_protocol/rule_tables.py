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
def iban_lengths() -> Dict[str, int]:
    return table("iban_lengths")["lengths"]


@functools.lru_cache(maxsize=None)
def iban_length_table() -> bytes:
    """The lengths by country as the engine reads them: one byte per pair of capital letters."""
    lengths = bytearray(26 * 26)
    for country, length in iban_lengths().items():
        lengths[26 * (ord(country[0]) - 65) + ord(country[1]) - 65] = length
    return bytes(lengths)
