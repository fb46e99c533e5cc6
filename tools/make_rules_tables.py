"""Writes the data tables of the column rules from pinned upstream packages.

    pip download --no-deps anyascii==0.3.3 cleanco==2.3 schwifty==2026.11.2
    python tools/make_rules_tables.py DIR_WITH_THE_THREE_WHEELS

Bump TABLES_VERSION in keying.py whenever the output changes: stores keyed
with other tables would no longer match.
"""

from __future__ import annotations

import ast
import json
import pathlib
import sys
import unicodedata
import zipfile
import zlib

OUT = pathlib.Path(__file__).resolve().parent.parent / "python" / "kestrova_protocol" / "rules_tables"
ANYASCII = "anyascii-0.3.3-py3-none-any.whl"
CLEANCO = "cleanco-2.3-py3-none-any.whl"
SCHWIFTY = "schwifty-2026.11.2-py3-none-any.whl"

# Scripts with a Latin form: Latin with its diacritics, combining marks, Greek, Cyrillic. Han, Kana,
# Hangul, Arabic and the rest are left as they are: a romanisation there is a guess, not a spelling.
BLOCKS = [(0x80, 0x24F), (0x250, 0x2AF), (0x300, 0x36F), (0x370, 0x3FF), (0x400, 0x52F), (0x1D00, 0x1DBF),
          (0x1E00, 0x1EFF), (0x1F00, 0x1FFF), (0x2C60, 0x2C7F), (0xA720, 0xA7FF), (0xFB00, 0xFB06)]
# Where anyascii's choice would split one spelling into two keys.
OURS = {"ı": "i", "İ": "I"}


def anyascii_blocks(wheel: zipfile.ZipFile):
    blocks = {}
    for name in wheel.namelist():
        if "/_data/" in name and not name.endswith(".py"):
            number = int(name.rsplit("/", 1)[1], 16)
            blocks[number] = zlib.decompress(wheel.read(name), -zlib.MAX_WBITS).decode("ascii").split("\t")
    return blocks


def latin(wheel_dir: pathlib.Path) -> dict:
    blocks = anyascii_blocks(zipfile.ZipFile(wheel_dir / ANYASCII))
    table = {}
    for low, high in BLOCKS:
        for cp in range(low, high + 1):
            char = chr(cp)
            category = unicodedata.category(char)
            if category[0] not in "LM":
                continue  # symbols and punctuation are `alnum`'s business
            block = blocks.get(cp >> 8)
            if block is None:
                continue
            lo = cp & 0xFF
            text = block[lo] if lo < len(block) else ""
            if category[0] == "M":
                text = ""  # a mark left after NFC has no letter to sit on in Latin
            elif not text or not all(c.isalpha() for c in text):
                continue  # anyascii has no letter for it: keep the character
            table[cp] = OURS.get(char, text)
    return {"source": "anyascii 0.3.3 (ISC)", "map": {f"{cp:X}": text for cp, text in sorted(table.items())}}


def legal_forms(wheel_dir: pathlib.Path) -> dict:
    source = zipfile.ZipFile(wheel_dir / CLEANCO).read("cleanco/termdata.py").decode("utf-8")
    terms = set()
    for node in ast.parse(source).body:
        if isinstance(node, ast.Assign):
            for values in ast.literal_eval(node.value).values():
                terms.update(v.strip() for v in values)
    # The and German/Polish forms cleanco lacks or spells otherwise.
    terms.update(["e.k.", "e.kfm.", "e.kfr.", "gmbh & co kg", "ug", "ug (haftungsbeschränkt)", "sp. z o. o.",
                  "spółka z ograniczoną odpowiedzialnością", "société anonyme", "aktiengesellschaft",
                  "gesellschaft mit beschränkter haftung", "public limited company", "limited liability company",
                  "besloten vennootschap", "naamloze vennootschap", "s.a.s.", "s.a.r.l.", "s.l.u.", "s.a.u.", "apS"])
    return {"source": "cleanco 2.3 termdata (MIT), with additions", "terms": sorted(terms)}


def iban_lengths(wheel_dir: pathlib.Path) -> dict:
    wheel = zipfile.ZipFile(wheel_dir / SCHWIFTY)
    lengths = {}
    for name in ("generated.json", "overwrite.json"):
        for country, entry in json.loads(wheel.read(f"schwifty/iban_registry/{name}")).items():
            if "iban_length" in entry:
                lengths[country] = entry["iban_length"]
    return {"source": "schwifty 2026.11.2 iban_registry (MIT): ISO 13616 registry and its additions",
            "lengths": dict(sorted(lengths.items()))}


def main() -> None:
    wheel_dir = pathlib.Path(sys.argv[1])
    OUT.mkdir(exist_ok=True)
    for name, make in (("latin", latin), ("legal_forms", legal_forms), ("iban_lengths", iban_lengths)):
        (OUT / f"{name}.json").write_text(json.dumps(make(wheel_dir), ensure_ascii=False, indent=0) + "\n",
                                          encoding="utf-8")


if __name__ == "__main__":
    main()
