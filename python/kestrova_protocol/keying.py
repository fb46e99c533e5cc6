"""How a table row becomes the key the module stores and looks up.

A column's cells are normalised in bulk, over a pyarrow string array: NFC,
then the column's rules in one fixed order whatever order they were named
in. Python's own NFC and case folding run once over a batch's non-ASCII
cells joined into one string (they keep U+001F, so the string splits back
into the cells); the rest are pyarrow kernels.
"""

from __future__ import annotations

import array
import dataclasses
import functools
import json
import pathlib
import unicodedata
from typing import Dict, List, Optional, Sequence, Tuple

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

# The version of the data tables below (transliteration, legal forms, IBAN lengths). A store keyed with
# rules that read them records it; another version would key the same row differently.
TABLES_VERSION = 1
TABLE_RULES = ("iban", "latin", "legalform")
_TABLES = pathlib.Path(__file__).resolve().parent / "rules_tables"

INVALID_SEPARATOR = ("a value contains U+001F, the column separator of the default keying "
                     "(use --keying plain to keep such values)")


@dataclasses.dataclass(frozen=True)
class Column:
    name: str
    rules: Tuple[str, ...] = ()


def _expand(rules: Sequence[str]) -> Tuple[str, ...]:
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
            columns[-1] = Column(columns[-1].name, _expand(columns[-1].rules + (token,)))
            continue
        unknown = [r for r in rules if r not in known]
        if unknown:
            raise ValueError(f"unknown normalisation {unknown[0]!r} (known: {', '.join(known)})")
        columns.append(Column(name.strip(), _expand(rules)))
    if not columns:
        raise ValueError("expected one or more comma-separated column names")
    return columns


def pack_rules(columns: Sequence[Column]) -> bytes:
    if len(columns) > MAX_COLUMNS:
        raise ValueError(f"at most {MAX_COLUMNS} columns make a row")
    bits = bytes(sum(RULES[r] for r in set(_expand(c.rules))) for c in columns)
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


def tables_version(rules: Optional[Sequence[Sequence[str]]]) -> int:
    """What a store keyed with these rules records: 0 when no rule reads a data table."""
    if rules and any(r in TABLE_RULES for column in rules for r in column):
        return TABLES_VERSION
    return 0


def describe(rules: Optional[Sequence[Tuple[str, ...]]]) -> str:
    if rules is None:
        return "NFC"
    return ", ".join("+".join(("nfc",) + tuple(r)) for r in rules)


# ---------------------------------------------------------------- the data tables


@functools.lru_cache(maxsize=None)
def _table(name: str) -> dict:
    return json.loads((_TABLES / f"{name}.json").read_text(encoding="utf-8"))


@functools.lru_cache(maxsize=None)
def _latin_map() -> Dict[int, str]:
    return {int(cp, 16): text for cp, text in _table("latin")["map"].items()}


def _latin(text: str) -> str:
    return text.translate(_latin_map())


@functools.lru_cache(maxsize=None)
def _latin_table() -> Tuple[bytes, bytes, bytes]:
    """The transliteration as the engine takes it: code points ascending, replacement offsets, replacements."""
    items = sorted(_latin_map().items())
    text = bytearray()
    offsets = array.array("I", [0])
    for _, replacement in items:
        text += replacement.encode("utf-8")
        offsets.append(len(text))
    return array.array("I", [cp for cp, _ in items]).tobytes(), offsets.tobytes(), bytes(text)


def _latin_column(values):
    """_latin over every cell, in the engine (the cells holding U+001F kept as they are, as
    _python_over_non_ascii keeps them)."""
    from . import engine
    return engine.transliterate(values, _latin_table())


@functools.lru_cache(maxsize=None)
def _legal_forms(rules: frozenset) -> Dict[int, object]:
    """The table's legal forms as the column's earlier rules leave them, by their number of words."""
    import pyarrow as pa
    earlier = [r for r in rules if r not in ("legalform", "words", "compact", "trim")]
    terms = normalise_column(pa.array(_table("legal_forms")["terms"]), earlier + ["alnum"]).to_pylist()
    if "casefold" not in rules:
        terms = [t.lower() for t in terms]
    by_words: Dict[int, set] = {}
    for term in terms:
        # A one-letter "form" would be an initial ("Jan P"); ae and oe become one letter under `latin`.
        if len(term) > 1:
            by_words.setdefault(term.count(" ") + 1, set()).add(term)
    return {n: pa.array(sorted(t), pa.large_string()) for n, t in sorted(by_words.items(), reverse=True)}


def _drop_legal_forms(values, rules):
    """Legal forms at the end of a name dropped, in the engine; see _drop_legal_forms_in_bulk."""
    if "casefold" not in rules:  # the look-up lower-cases the words: pyarrow's case, not the engine's
        return _drop_legal_forms_in_bulk(values, rules)
    import pyarrow as pa
    from . import engine
    forms = _legal_forms(frozenset(rules))
    phrases = pa.concat_arrays(list(forms.values())) if forms else pa.array([], pa.large_string())
    return engine.drop_trailing_phrases(values, phrases)


def _drop_legal_forms_in_bulk(values, rules):
    """Legal forms at the end of a name dropped (all of them: "… GmbH & Co. KG Ltd"), never its first word.

    Words are looked up, not matched by a pattern: the last n words of each row, for each length n
    of a form in the table, against the forms of n words.
    """
    import pyarrow as pa
    import pyarrow.compute as pc
    forms = _legal_forms(frozenset(rules))
    lists = pc.split_pattern(values, " ")
    words = pc.list_flatten(lists)
    offsets = lists.offsets.cast(pa.int64())
    starts, end = offsets[:-1], offsets[1:]
    if not len(words):
        return values
    lookup = words if "casefold" in rules else pc.utf8_lower(words)
    separator = pa.scalar(" ", pa.large_string())
    hits = True
    while hits:
        hits = False
        for n, terms in forms.items():
            count = pc.subtract(end, starts)
            eligible = pc.greater(count, _int(n))
            if not pc.any(eligible).as_py():
                continue
            first = pc.subtract(end, _int(n))
            parts = [pc.take(lookup, pc.if_else(eligible, pc.add(first, _int(j)), starts)) for j in range(n)]
            tail = parts[0] if n == 1 else pc.binary_join_element_wise(*parts, separator)
            hit = pc.and_(eligible, pc.is_in(tail, terms))
            if hit.true_count:
                hits = True
                end = pc.if_else(hit, first, end)
    kept_words = pc.subtract(end, starts)
    if pc.all(pc.equal(kept_words, pc.list_value_length(lists).cast(pa.int64()))).as_py():
        return values
    parent = pc.list_parent_indices(lists)
    keep = pc.less(pa.array(range(len(words)), pa.int64()), pc.take(end, parent))
    new_offsets = pa.concat_arrays([pa.array([0], pa.int64()), pc.cumulative_sum(kept_words)])
    kept = pa.LargeListArray.from_arrays(new_offsets, words.filter(keep).cast(pa.large_string()))
    return pc.binary_join(kept, separator)


@functools.lru_cache(maxsize=None)
def _iban_lengths() -> Dict[str, int]:
    return _table("iban_lengths")["lengths"]


# ---------------------------------------------------------------- rules in bulk

# Python's str.split() white space: today's trim and compact, kept exactly.
_SPACE = r"[\t-\r\x1c-\x20\x{85}\x{a0}\x{1680}\x{2000}-\x{200a}\x{2028}\x{2029}\x{202f}\x{205f}\x{3000}]+"
# Inside a word, dropped: O'Brien = OBrien, S.A. = SA.
_OTHER_SPACE = r"[\t-\r\x1c-\x1f\x{85}\x{a0}\x{1680}\x{2000}-\x{200a}\x{2028}\x{2029}\x{202f}\x{205f}\x{3000}]"
_IN_WORD = r"['\x{2019}\x{2018}\x{02bc}`\x{00b4}.]"
_AND = r"[&+\x{ff06}]"
_OTHER = r"[^\pL\pN\pM]+"


def _text(values):
    """As a large_string array without nulls (a missing cell is the empty string, as in a CSV)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    if isinstance(values, pa.ChunkedArray):
        values = values.combine_chunks()
    if pa.types.is_dictionary(values.type):
        values = values.dictionary_decode()
    if pa.types.is_null(values.type):
        return pa.array([""] * len(values), pa.large_string())
    return pc.fill_null(values.cast(pa.large_string()), "")


def _python_over_non_ascii(values, fn):
    """fn (str -> str, applied to the cells joined by U+001F) on the cells that are not ASCII.

    fn must map U+001F to itself and make no U+001F; cells holding one are left as they are (the
    join refuses them).
    """
    import pyarrow as pa
    import pyarrow.compute as pc
    wide = pc.invert(pc.string_is_ascii(values))
    wide = pc.and_(wide, pc.invert(pc.match_substring(values, SEPARATOR)))
    picked = values.filter(wide)
    if not len(picked):
        return values
    joined = pc.binary_join(pa.LargeListArray.from_arrays(pa.array([0, len(picked)], pa.int64()), picked),
                            pa.scalar(SEPARATOR, pa.large_string()))[0].as_py()
    return pc.replace_with_mask(values, wide, pa.array(fn(joined).split(SEPARATOR), pa.large_string()))


def _nfc(text: str) -> str:
    return unicodedata.normalize("NFC", text)


def _casefold(text: str) -> str:
    return unicodedata.normalize("NFC", text.casefold())


def _sort_words(values):
    import pyarrow as pa
    import pyarrow.compute as pc
    lists = pc.split_pattern(values, " ")
    words = pa.table({"row": pc.list_parent_indices(lists), "word": pc.list_flatten(lists)})
    words = words.sort_by([("row", "ascending"), ("word", "ascending")])
    offsets = lists.offsets
    if offsets[0].as_py():
        offsets = pc.subtract(offsets, offsets[0])
    return pc.binary_join(type(lists).from_arrays(offsets, words.column("word").combine_chunks()),
                          pa.scalar(" ", pa.large_string()))


def normalise_column(values, rules: Sequence[str]):
    """NFC, then the column's rules, over a pyarrow string array; a large_string array without nulls.

    The order is fixed: iban, latin, casefold, alnum, legalform, words, then trim or compact (compact
    wins). `latin` comes before `casefold` so that "İ" and "ı" meet "I" and "i".
    """
    import pyarrow.compute as pc
    rules = set(_expand(rules))
    values = _text(values)
    wide = pc.invert(pc.string_is_ascii(values))
    values = _on(values, wide, lambda v: pc.utf8_normalize(v, "NFC"))
    if "iban" in rules:
        values = pc.ascii_upper(pc.replace_substring_regex(values, r"[^0-9A-Za-z]+", ""))
    if "latin" in rules:
        values = _latin_column(values)
    if "casefold" in rules:
        values = _python_over_non_ascii(pc.ascii_lower(values), _casefold)
    if "latin" in rules:
        if "casefold" in rules:  # folding makes a few marks again (ǰ is j and a caron)
            values = _latin_column(values)
    single = False  # white space is single spaces, none at the ends
    if "alnum" in rules:
        # Only where a character is not an ASCII letter, digit or space: the Unicode classes are slow.
        values = _on(values, pc.match_substring_regex(values, "[^a-zA-Z0-9 ]"), _alnum)
    if "latin" in rules:
        # Umlauts spelt out meet the letter without its dots: Mueller = Müller = Muller. After `alnum`,
        # which may bring an a and an e together ("A'e").
        values = _umlauts(values)
    if rules & {"alnum", "legalform", "words"}:
        values = _single_spaces(values)
        single = True
    if "legalform" in rules:
        values = _drop_legal_forms(values, rules)
    if "words" in rules:
        values = _sort_words(values)
    if "compact" in rules:
        values = pc.replace_substring(values, " ", "") if single else pc.replace_substring_regex(values, _SPACE, "")
        if "latin" in rules:
            values = _umlauts(values)  # "Ana Eva" is "anaeva" now
    elif "trim" in rules and not single:
        values = _single_spaces(values)
    return values


def _alnum(values):
    import pyarrow.compute as pc

    def rule(in_word, conjunction, other):
        def apply(v):
            v = pc.replace_substring_regex(v, in_word, "")
            v = pc.replace_substring_regex(v, conjunction, " and ")
            return pc.replace_substring_regex(v, other, " ")  # white space included
        return apply
    # The same rule with ASCII classes where the row is ASCII: Unicode classes are slower.
    values = _on(values, pc.string_is_ascii(values), rule("['`.]", "[&+]", "[^A-Za-z0-9]+"))
    return _on(values, pc.invert(pc.string_is_ascii(values)), rule(_IN_WORD, _AND, _OTHER))


def _umlauts(values):
    import pyarrow.compute as pc
    return pc.replace_substring_regex(values, r"(?i)([aou])e+", r"\1")


def _on(values, mask, fn):
    """fn over the rows the mask picks, the others as they are."""
    import pyarrow.compute as pc
    if not mask.true_count:
        return values
    if mask.true_count == len(values):
        return fn(values)
    return pc.replace_with_mask(values, mask, fn(values.filter(mask)))


def _single_spaces(values):
    """Runs of white space as one space, none at the ends."""
    import pyarrow.compute as pc
    return _on(values, pc.match_substring_regex(values, _OTHER_SPACE + "|  |^ | $"),
               lambda v: pc.utf8_trim(pc.replace_substring_regex(v, _SPACE, " "), " "))


def join_columns(columns: Sequence) -> "object":
    """Normalised columns joined with U+001F into one key per row (a large_string array).

    A value holding U+001F would make the join ambiguous: ValueError, whose `row` attribute is the
    0-based index of the first such row (the caller names the file and row).
    """
    import pyarrow as pa
    import pyarrow.compute as pc
    columns = [_text(c) for c in columns]
    for column in columns:
        bad = pc.match_substring(column, SEPARATOR)
        if pc.any(bad).as_py():
            error = ValueError(INVALID_SEPARATOR)
            error.row = pc.index(bad, True).as_py()
            raise error
    if len(columns) == 1:
        return columns[0]
    return pc.binary_join_element_wise(*columns, pa.scalar(SEPARATOR, pa.large_string()))


@functools.lru_cache(maxsize=None)
def _int(n: int):
    # A pyarrow scalar: a Python int would be converted on every call, at the cost of an import attempt.
    import pyarrow as pa
    return pa.scalar(n, pa.int64())


def _letters_as_digits(values):
    import pyarrow.compute as pc
    for letter in "ABCDEFGHIJKLMNOPQRSTUVWXYZ":
        values = pc.replace_substring(values, letter, str(ord(letter) - 55))
    return values


def _iban_length_table() -> bytes:
    """The lengths by country as the engine reads them: one byte per pair of capital letters."""
    table = bytearray(26 * 26)
    for country, length in _iban_lengths().items():
        table[26 * (ord(country[0]) - 65) + ord(country[1]) - 65] = length
    return bytes(table)


def iban_valid(values):
    """A boolean array: the normalised IBAN has its country's length and check digits (ISO 13616)."""
    import pyarrow as pa
    from . import engine
    values = _text(values)
    checked = engine.iban_check(values, _iban_length_table())
    return pa.Array.from_buffers(pa.uint8(), len(values), [None, pa.py_buffer(checked)]).cast(pa.bool_())


def iban_valid_in_bulk(values):
    """iban_valid over pyarrow kernels: the engine's oracle in the tests."""
    import pyarrow as pa
    import pyarrow.compute as pc
    values = _text(values)
    lengths = _iban_lengths()
    countries = pc.utf8_slice_codeunits(values, 0, 2)
    where = pc.fill_null(pc.index_in(countries, pa.array(list(lengths), pa.large_string())), len(lengths))
    expected = pc.take(pa.array(list(lengths.values()) + [-1], pa.int64()), where)
    shaped = pc.and_(pc.match_substring_regex(values, r"^[A-Z]{2}[0-9]{2}[0-9A-Z]+$"),
                     pc.equal(pc.utf8_length(values), expected))
    # Mod 97 of the number the IBAN spells with its first four characters moved to the end and each
    # letter as two digits (A = 10), 16 digits at a time over all rows at once. Letters are rare
    # past the country code, which is looked up.
    country_digits = pa.array([_letters_as_digits_text(c) for c in lengths] + ["0000"], pa.large_string())
    zero = pa.scalar("0", pa.large_string())
    body = pc.if_else(shaped, pc.utf8_slice_codeunits(values, 4), zero)
    body = _on(body, pc.match_substring_regex(body, "[A-Z]"), _letters_as_digits)
    digits = pc.binary_join_element_wise(body, pc.take(country_digits, where),
                                         pc.if_else(shaped, pc.utf8_slice_codeunits(values, 2, 4), zero),
                                         pa.scalar("", pa.large_string()))
    width = 80  # 34 characters, each at most two digits, rounded up to 16-digit pieces
    digits = pc.utf8_lpad(digits, width, "0")
    remainder = _int(0)
    for start in range(0, width, 16):
        piece = pc.cast(pc.utf8_slice_codeunits(digits, start, start + 16), pa.int64())
        remainder = pc.add(pc.multiply(remainder, _int(10 ** 16)), piece)
        remainder = pc.subtract(remainder, pc.multiply(pc.divide(remainder, _int(97)), _int(97)))
    return pc.and_(shaped, pc.equal(remainder, _int(1)))


def _letters_as_digits_text(text: str) -> str:
    return "".join(str(int(c, 36)) for c in text)


def keys_of(columns: Sequence, rules: Sequence[Sequence[str]]):
    """The keys of a batch's columns (pyarrow arrays) under each column's rules."""
    return join_columns([normalise_column(c, r) for c, r in zip(columns, rules)])


def packed(keys) -> Tuple[bytes, array.array]:
    """A key array as the module takes it: UTF-8 bytes end to end and n + 1 offsets."""
    import pyarrow as pa
    keys = _text(keys)
    if keys.offset:
        keys = pa.concat_arrays([pa.array([], pa.large_string()), keys])
    buffers = keys.buffers()
    offsets = array.array("q")
    offsets.frombytes(memoryview(buffers[1])[:8 * (len(keys) + 1)])
    start, end = offsets[0], offsets[-1]
    if start:
        offsets = array.array("q", (o - start for o in offsets))
    data = bytes(memoryview(buffers[2])[start:end]) if buffers[2] is not None else b""
    return data, offsets


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
            raise ValueError(INVALID_SEPARATOR)
    if rules is None:
        return [SEPARATOR.join(unicodedata.normalize("NFC", cell) for cell in cells)]
    import pyarrow as pa
    return [keys_of([pa.array([cell]) for cell in cells], rules)[0].as_py()]


def shown(key: str) -> str:
    """A key as people read it: the separator as its symbol."""
    return key.replace(SEPARATOR, SHOWN_SEPARATOR)
