"""A column's rules applied in bulk, over a pyarrow string array.

NFC, then the column's rules in one fixed order whatever order they were named in. The engine runs
the transliteration, the IBAN's letters, the legal forms, and the punctuation, umlaut and space
rules of plain cells (ASCII and letters without case: see engine.plain_rows); pyarrow kernels run
NFC, the ASCII case and the Unicode classes of the other cells; Python's own case folding runs once
over a batch's other cells joined into one string (it keeps U+001F, so the string splits back into
the cells).
"""

from __future__ import annotations

import functools
import unicodedata
from typing import Sequence

from .arrow import text_scalar
from . import engine, rule_tables
from .column_rules import SEPARATOR, expand

# Python's str.split() white space: today's trim and compact, kept exactly.
_SPACE = r"[\t-\r\x1c-\x20\x{85}\x{a0}\x{1680}\x{2000}-\x{200a}\x{2028}\x{2029}\x{202f}\x{205f}\x{3000}]+"
# Inside a word, dropped: O'Brien = OBrien, S.A. = SA.
_IN_WORD = r"['\x{2019}\x{2018}\x{02bc}`\x{00b4}.]"
_AND = r"[&+\x{ff06}]"
_OTHER = r"[^\pL\pN\pM]+"


def normalise_column(values, rules: Sequence[str]):
    """NFC, then the column's rules, over a pyarrow string array; a large_string array without nulls.

    The order is fixed: iban, latin, casefold, alnum, legalform, words, then trim or compact (compact
    wins). `latin` comes before `casefold` so that "İ" and "ı" meet "I" and "i".
    """
    import pyarrow.compute as pc
    rules = set(expand(rules))
    values = text(values)
    values = on(values, pc.invert(pc.string_is_ascii(values)), lambda v: pc.utf8_normalize(v, "NFC"))
    if "iban" in rules:
        values = engine.iban_letters(values)
    if "latin" in rules:
        values = latin_column(values)
    if "casefold" in rules:
        values = pc.ascii_lower(values)
        wide = pc.invert(engine.plain_rows(values))
        values = python_over(values, wide, _casefold)
        if "latin" in rules:  # folding makes a few marks again (ǰ is j and a caron)
            values = on(values, wide, latin_column)
    single = bool(rules & {"alnum", "legalform", "words"})  # then white space is single spaces, none at the ends
    flags = (engine.ALNUM if "alnum" in rules else 0) | umlaut_flag(rules)
    if single or ("trim" in rules and "compact" not in rules):
        flags |= engine.SPACES
    # Umlauts spelt out meet the letter without its dots (Mueller = Müller = Muller), after `alnum`, which
    # may bring an a and an e together ("A'e").
    if flags:
        values = spaced(values, flags)
    if rules & {"legalform", "words"}:
        values = legal_forms_and_order(values, rules)
    if "compact" in rules:
        values = spaced(values, engine.COMPACT | umlaut_flag(rules))  # "Ana Eva" is "anaeva" now
    return values


def umlaut_flag(rules) -> int:
    return engine.UMLAUTS if "latin" in rules else 0


def spaced(values, flags: int):
    """engine.space_words' rules: in the engine for plain cells, with Unicode classes for the others."""
    import pyarrow.compute as pc
    return on(engine.space_words(values, flags), pc.invert(engine.plain_rows(values)),
              lambda v: spaced_in_bulk(v, flags))


def spaced_in_bulk(values, flags: int):
    """engine.space_words over pyarrow kernels, for every cell."""
    import pyarrow.compute as pc
    if flags & engine.ALNUM:
        values = pc.replace_substring_regex(values, _IN_WORD, "")
        values = pc.replace_substring_regex(values, _AND, " and ")
        values = pc.replace_substring_regex(values, _OTHER, " ")  # white space included
    if flags & engine.COMPACT:
        values = pc.replace_substring_regex(values, _SPACE, "")
    if flags & engine.UMLAUTS:
        values = pc.replace_substring_regex(values, r"(?i)([aou])e+", r"\1")
    if flags & engine.SPACES:
        values = pc.utf8_trim(pc.replace_substring_regex(values, _SPACE, " "), " ")
    return values


@functools.lru_cache(maxsize=None)
def legal_forms(rules: frozenset):
    """The table's legal forms as the column's earlier rules leave them (lower case), a large_string array."""
    import pyarrow as pa
    import pyarrow.compute as pc
    earlier = [r for r in rules if r not in ("legalform", "words", "compact", "trim")]
    terms = normalise_column(pa.array(rule_tables.table("legal_forms")["terms"]), earlier + ["alnum"])
    if "casefold" not in rules:
        terms = pc.utf8_lower(terms)
    # A one-letter "form" would be an initial ("Jan P"); ae and oe become one letter under `latin`.
    return pa.array(sorted({t for t in terms.to_pylist() if len(t) > 1}), pa.large_string())


def legal_forms_and_order(values, rules):
    """Legal forms dropped (at the end of a name; anywhere under `words`, whose words are then sorted)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    lookup = values if "casefold" in rules else pc.utf8_lower(values)  # the table's forms are lower case
    forms = legal_forms(frozenset(rules)) if "legalform" in rules else pa.array([], pa.large_string())
    return engine.drop_phrases(values, lookup, forms, "words" in rules)


def latin_column(values):
    """The transliteration over every cell, in the engine (a cell holding U+001F kept as it is)."""
    return engine.transliterate(values, rule_tables.latin_table())


def iban_valid(values):
    """A boolean array: the normalised IBAN has its country's length and check digits (ISO 13616)."""
    import pyarrow as pa
    values = text(values)
    checked = engine.iban_check(values, rule_tables.iban_length_table())
    return pa.Array.from_buffers(pa.uint8(), len(values), [None, pa.py_buffer(checked)]).cast(pa.bool_())


def text(values):
    """As a large_string array without nulls (a missing cell is the empty string, as in a CSV)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    if isinstance(values, pa.ChunkedArray):
        values = values.combine_chunks()
    if pa.types.is_dictionary(values.type):
        values = values.dictionary_decode()
    return pc.fill_null(values.cast(pa.large_string()), text_scalar(""))


def python_over(values, mask, fn):
    """fn (str -> str, applied to the cells joined by U+001F) on the cells the mask picks.

    fn must map U+001F to itself and make no U+001F; cells holding one are left as they are (the
    join refuses them).
    """
    import pyarrow as pa
    import pyarrow.compute as pc
    if not mask.true_count:
        return values
    mask = pc.and_(mask, pc.invert(pc.match_substring(values, SEPARATOR)))
    picked = values.filter(mask)
    if not len(picked):
        return values
    joined = pc.binary_join(pa.LargeListArray.from_arrays(pa.array([0, len(picked)], pa.int64()), picked),
                            pa.scalar(SEPARATOR, pa.large_string()))[0].as_py()
    return pc.replace_with_mask(values, mask, pa.array(fn(joined).split(SEPARATOR), pa.large_string()))


def _casefold(text_: str) -> str:
    return unicodedata.normalize("NFC", text_.casefold())


def on(values, mask, fn):
    """fn over the rows the mask picks, the others as they are."""
    import pyarrow.compute as pc
    if not mask.true_count:
        return values
    if mask.true_count == len(values):
        return fn(values)
    return pc.replace_with_mask(values, mask, fn(values.filter(mask)))
