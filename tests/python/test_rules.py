"""The column rules: each rule's keys, their idempotence, IBAN check digits, and the rules as the
store records them (build-store and query key alike; `keys` prints what the store holds)."""

from __future__ import annotations

import csv
import random
import re
import unicodedata

import pyarrow as pa
import pytest
from hypothesis import given, settings, strategies as st

import kestrova_protocol as kp
from kestrova_protocol import engine, keying, normalise, rule_tables
from kestrova_protocol.column_rules import expand
from kestrova_protocol.errors import PartyError
from kestrova_protocol.keying import normalise_column, parse_columns

import rules_corpus


def keys(values, rules):
    return normalise_column(pa.array(values, pa.large_string()), rules).to_pylist()


def one_key(variants, rules):
    return len(set(keys(variants, rules))) == 1


@pytest.mark.parametrize("rules, variants", [
    (("iban",), ["GB82 WEST 1234 5698 7654 32", "gb82west12345698765432", "GB82-WEST-1234-5698-7654-32 "]),
    (("latin", "casefold"), ["Müller", "Muller", "Mueller", "MÜLLER", "MUELLER", "Müller"]),
    (("latin", "casefold"), ["Yılmaz", "YILMAZ", "Yilmaz"]),
    (("latin", "casefold"), ["İbrahim", "Ibrahim", "ibrahim"]),
    (("latin", "casefold"), ["Łukasz", "Lukasz"]),
    (("latin", "casefold"), ["Søren", "Soren"]),
    (("latin", "casefold"), ["Straße", "Strasse", "STRASSE"]),
    (("latin", "casefold"), ["Þór", "Thor"]),
    (("latin",), ["Zoë", "Zoe", "Zoe\u0308"]),
    (("alnum", "casefold"), ["O'Brien", "OBrien", "O’Brien"]),
    (("alnum", "casefold"), ["S.A.", "SA"]),
    (("alnum", "casefold"), ["Smith & Jones", "Smith and Jones", "Smith+Jones", "Smith, and  Jones"]),
    (("alnum", "casefold"), ["Jean-Pierre", "Jean Pierre"]),
    (("alnum", "legalform", "casefold"), ["Orion Motors Ltd", "Orion Motors Limited", "Orion Motors Ltd.",
                                          "Orion Motors", "Orion Motors LTD", "Orion Motors B.V."]),
    (("alnum", "legalform", "casefold"), ["Blue GmbH & Co. KG", "Blue GmbH & Co KG", "Blue"]),
    (("alnum", "legalform", "casefold"), ["Kowalski Sp. z o.o.", "Kowalski Sp. z o. o.", "Kowalski"]),
    (("words",), ["Nowak Zoë", "Zoë Nowak", " Zoë  Nowak "]),
    (("name",), ["O'Brien", "O Brien", "OBRIEN", "o'brien"]),
    (("name",), ["José Álvarez", "JOSE ALVAREZ", "Jose  Alvarez "]),
    (("name", "words"), ["Nowak Zoë", "ZOE NOWAK", "Zoe Nowak"]),
    (("name", "words"), ["Nowak Åsa", "Åsa Nowak", "ÅSA NOWAK"]),  # a given name that is also a legal form
    (("name", "words"), ["Orion Motors AB", "AB Orion Motors", "Motors Orion"]),
])
def test_a_rule_gives_variants_one_key(rules, variants):
    assert one_key(variants, rules), keys(variants, rules)


@pytest.mark.parametrize("rules, different", [
    (("name",), ["Jan Peter", "Peter Jan"]),  # word order needs `words`
    (("name",), ["王芳", "李伟"]),  # kept as written, not merged by a guess
    (("name",), ["Jan P", "Jan"]),  # a one-letter word is an initial, not a legal form
    (("name",), ["GmbH", ""]),  # a name is never dropped whole
    (("iban",), ["GB82WEST12345698765432", "GB82WEST12345698765433"]),
    (("casefold",), ["Müller", "Muller"]),  # without `latin` the diacritics count
    ((), ["a b", "a  b"]),
])
def test_a_rule_keeps_names_apart(rules, different):
    assert len(set(keys(different, rules))) == len(different), keys(different, rules)


def test_keys_of_the_profile_read_as_documented():
    assert keys(["Müller GmbH", "Щукин Пётр", "Θεόδωρος", "王芳", None], ("name",)) == \
        ["muller", "shchukinpetr", "theodoros", "王芳", ""]
    assert keys(["Nowak Zoë"], ("name", "words")) == ["nowakzo"]


TEXT = st.lists(st.sampled_from(list("aeouAEOUzZ ßæøłıİþÆÜüöÄéèçñ'.-&+,/ \t\u00a0") +
                                ["Ж", "щ", "Θ", "ς", "王", "e\u0301", "ǰ", "ſ", "ltd", " GmbH", " Åsa", " AS", " oy",
                                 " gmbh & co kg", " besloten", " vennootschap"]),
               max_size=24).map("".join)
RULE_SETS = [("trim",), ("compact",), ("casefold",), ("iban",), ("latin",), ("alnum",), ("legalform",),
             ("words",), ("name",), ("name", "words"), ("trim", "casefold"), ("latin", "alnum", "trim"),
             ("legalform", "words"), ("casefold", "alnum", "legalform", "words", "trim")]


@pytest.mark.parametrize("rules", RULE_SETS)
@settings(max_examples=60, deadline=None)
@given(values=st.lists(TEXT | st.sampled_from(["Foo Ltd Ltd", "Muee", "Orion B.V. N.V."]), min_size=1,
                       max_size=8))
def test_rules_are_idempotent_and_row_by_row_as_in_bulk(rules, values):
    once = keys(values, rules)
    assert keys(once, rules) == once
    assert [keys([v], rules)[0] for v in values] == once  # a row's key does not depend on its batch


@settings(max_examples=100, deadline=None)
@given(st.lists(TEXT, min_size=1, max_size=6))
def test_trim_compact_casefold_key_as_before(values):
    def before(cell, rules):
        cell = unicodedata.normalize("NFC", cell)
        if "casefold" in rules:
            cell = unicodedata.normalize("NFC", cell.casefold())
        if "compact" in rules:
            return "".join(cell.split())
        return " ".join(cell.split()) if "trim" in rules else cell
    for rules in ((), ("trim",), ("compact",), ("casefold",), ("trim", "casefold"), ("compact", "casefold")):
        assert keys(values, rules) == [before(v, rules) for v in values]


VALID = ["GB82WEST12345698765432", "DE89370400440532013000", "NL91ABNA0417164300", "FR1420041010050500013M02606",
         "ES9121000418450200051332", "IT60X0542811101000000123456", "PL61109010140000071219812874",
         "TR330006100519786457841326", "GR1601101250000000012300695", "NO9386011117947", "BE68539007547034",
         "CH9300762011623852957", "AT611904300234573201"]


@pytest.mark.parametrize("number, valid", [(n, True) for n in VALID] + [
    ("GB82WEST12345698765431", False),  # a digit changed
    ("GB28WEST12345698765432", False),  # check digits swapped
    ("GB82WEST1234569876543", False),  # a character short for GB
    ("DE8937040044053201300000", False),  # too long for DE
    ("XX82WEST12345698765432", False),  # no such country
    ("GBAAWEST12345698765432", False),  # letters for check digits
    ("", False), ("GB", False),
])
def test_iban_check_digits(number, valid):
    assert keying.iban_valid(normalise_column(pa.array([number, number.lower()]), ["iban"])).to_pylist() == [valid] * 2


@settings(max_examples=200, deadline=None)
@given(st.randoms(use_true_random=False), st.sampled_from(["DE", "GB", "FR", "NL", "TR", "GR", "NO", "PL"]))
def test_every_single_substitution_breaks_the_check_digits(rng, country):
    number = rules_corpus.iban(rng, country, rules_corpus.iban_lengths())
    i = rng.randrange(2, len(number))
    alphabet = "0123456789" if i < 4 or number[i].isdigit() else "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    changed = number[:i] + rng.choice(alphabet.replace(number[i], "")) + number[i + 1:]
    assert keying.iban_valid(pa.array([number, changed])).to_pylist() == [True, False]


def _table_characters():
    return sorted(chr(cp) for cp in rule_tables.latin_map())


# Any character the transliteration table holds, mixed with ASCII, others it does not hold, a lone
# U+001F, and the characters of every script at either end of UTF-8's lengths.
LATIN_TEXT = st.lists(st.sampled_from(_table_characters()) | st.sampled_from(list("aZ 9'\x1f\x7f\x80\u07ff\u0800"
                                                                                   "\uffff\U00010000\U0010ffff王")),
                      max_size=20).map("".join)


@settings(max_examples=200, deadline=None)
@given(st.lists(LATIN_TEXT | st.text(max_size=12), max_size=30))
def test_the_engine_transliterates_as_python_does(values):
    native = normalise.latin_column(pa.array(values, pa.large_string())).to_pylist()
    assert native == [v if "\x1f" in v else v.translate(rule_tables.latin_map()) for v in values]


def dropped(words, forms, unordered, lower):
    """The legal-form rule word by word: the engine's oracle."""
    lengths = sorted({len(f.split(" ")) for f in forms}, reverse=True)

    def spelt(words):
        return " ".join(w.lower() if lower else w for w in words)

    def drop(words, keep):
        hit = True
        while hit:
            hit = False
            for n in lengths:
                if not unordered:
                    if len(words) >= n + keep and spelt(words[-n:]) in forms:
                        words, hit = words[:-n], True
                    continue
                i = 0
                while len(words) >= n + keep and i + n <= len(words):
                    if spelt(words[i:i + n]) in forms:
                        words, hit = words[:i] + words[i + n:], True
                    else:
                        i += 1
        return words
    if unordered:
        words = sorted(drop(words, 0) or words, key=lambda w: w.encode())
    return drop(words, 1)


FORM_WORDS = ["ltd", "Ltd", "gmbh", "co", "kg", "and", "sa", "asa", "as", "oy", "b", "v", "bv", "orion", "a",
              "nowak", "sp", "z", "o", "oo", "ÅSA", "İ"]


@pytest.mark.parametrize("rules", [("name",), ("name", "words"), ("legalform",), ("legalform", "words"),
                                   ("casefold", "latin", "legalform", "compact")])
@settings(max_examples=100, deadline=None)
@given(st.lists(st.lists(st.sampled_from(FORM_WORDS), max_size=7).map(" ".join), max_size=30))
def test_the_engine_drops_legal_forms_word_by_word(rules, values):
    rules = set(expand(rules))
    forms = set(normalise.legal_forms(frozenset(rules)).to_pylist())
    column = pa.array(values, pa.large_string())
    expected = [" ".join(dropped(v.split(" "), forms, "words" in rules, "casefold" not in rules)) for v in values]
    assert normalise.legal_forms_and_order(column, rules).to_pylist() == expected


@settings(max_examples=100, deadline=None)
@given(st.lists(st.sampled_from(["ltd", "gmbh", "asa", "as", "oy", "ab", "ag", "kg", "nowak", "zoe", "jan", "orion"]),
                min_size=1, max_size=6), st.randoms(use_true_random=False))
def test_under_words_the_order_of_words_and_single_word_forms_does_not_matter(words, rng):
    shuffled = rng.sample(words, len(words))
    assert keys([" ".join(words)], ("name", "words")) == keys([" ".join(shuffled)], ("name", "words"))


PLAIN_TEXT = st.text(st.sampled_from("aeouAEOUxZ09 \t\x1c\x1f'`.&+-,/王한アאب"), max_size=20)
NOT_PLAIN = st.sampled_from(["Zoë  Nowak", "Mu\u0308ller&e", "王\u3000芳", "O’Brien", "a\u00a0e", "Ｓmith＆"])


@pytest.mark.parametrize("flags", [engine.ALNUM | engine.SPACES, engine.ALNUM | engine.UMLAUTS | engine.SPACES,
                                   engine.UMLAUTS, engine.SPACES, engine.UMLAUTS | engine.SPACES, engine.COMPACT,
                                   engine.COMPACT | engine.UMLAUTS])
@settings(max_examples=150, deadline=None)
@given(st.lists(PLAIN_TEXT | NOT_PLAIN, max_size=20))
def test_the_engine_spaces_words_as_the_unicode_patterns_do(flags, values):
    column = pa.array(values, pa.large_string())
    plain = engine.plain_rows(column).to_pylist()
    assert plain == [all(c.isascii() or c in "王한アאب" for c in v) for v in values]
    native = engine.space_words(column, flags).to_pylist()
    assert normalise.spaced(column, flags).to_pylist() == normalise.spaced_in_bulk(column, flags).to_pylist()
    assert [n for n, v, p in zip(native, values, plain) if not p] == [v for v, p in zip(values, plain) if not p]


def test_caseless_letters_need_no_unicode_rule():
    """What the engine takes for a plain letter: a letter to the patterns and to Python, its own case
    folding and NFC, and in no transliteration."""
    import pyarrow.compute as pc
    candidates = pa.array([chr(c) for c in range(0x80, 0xE000) if not 0xD800 <= c < 0xE000], pa.large_string())
    column = candidates.filter(engine.plain_rows(candidates))
    letters = column.to_pylist()
    assert len(letters) > 20_000  # the scripts named, not a few letters
    assert pc.all(pc.match_substring_regex(column, r"^\pL$")).as_py()
    assert all(unicodedata.category(c).startswith("L") and c.casefold() == c and
               unicodedata.normalize("NFC", c) == c for c in letters)
    assert not set(map(ord, letters)) & set(rule_tables.latin_map())


@settings(max_examples=100, deadline=None)
@given(st.lists(st.text(max_size=12) | st.sampled_from(["gb82 west-1234.5698 7654 32", "ß1ä"]), max_size=20))
def test_an_iban_keeps_its_letters_and_digits(values):
    assert engine.iban_letters(pa.array(values, pa.large_string())).to_pylist() == \
        ["".join(c for c in v if c.isascii() and c.isalnum()).upper() for v in values]


@pytest.mark.parametrize("call, message", [
    (lambda: engine.drop_phrases(pa.array(["a b"]), pa.array(["a"]), pa.array(["b"]), False), "differ in words"),
    (lambda: engine.drop_phrases(pa.array(["a"]), pa.array(["a", "b"]), pa.array(["b"]), True), "differ in length"),
    (lambda: engine.space_words(pa.array(["a"]), engine.SPACES | engine.COMPACT), "exclude each other"),
])
def test_the_engine_refuses_what_it_cannot_key(call, message):
    with pytest.raises(PartyError, match=message):
        call()


# Near-IBANs: the checker's alphabet, a few bytes it refuses, and real numbers with one character changed.
IBAN_LIKE = st.text("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789az -ß", max_size=36)


@settings(max_examples=150, deadline=None)
@given(st.lists(IBAN_LIKE | st.sampled_from(VALID) | st.builds(
    lambda n, i, c: n[:i % len(n)] + c + n[i % len(n) + 1:], st.sampled_from(VALID), st.integers(0, 40),
    st.sampled_from("0123456789AZ")), max_size=40))
def test_the_engine_checks_ibans_as_python_does(values):
    lengths = rule_tables.iban_lengths()

    def valid(s):
        return bool(re.fullmatch("[A-Z]{2}[0-9]{2}[0-9A-Z]+", s)) and lengths.get(s[:2]) == len(s) and \
            int("".join(str(int(c, 36)) for c in s[4:] + s[:4])) % 97 == 1
    assert keying.iban_valid(pa.array(values, pa.large_string())).to_pylist() == [valid(v) for v in values]


def test_join_refuses_the_separator_and_names_the_row():
    columns = [pa.array(["a", "b", "c"]), pa.array(["x", "y\x1fz", None])]
    with pytest.raises(ValueError, match="U\\+001F") as caught:
        keying.join_columns(columns)
    assert caught.value.row == 1
    assert keying.join_columns([pa.array(["a", None]), pa.array([None, "b"])]).to_pylist() == ["a\x1f", "\x1fb"]


@pytest.mark.parametrize("text, columns", [
    ("iban:iban,name:name", [("iban", ("iban",)), ("name", keying.PROFILES["name"])]),
    ("name:trim,casefold,iban", [("name", ("trim", "casefold")), ("iban", ())]),  # iban is a column here
    ("a:trim,latin,words", [("a", ("trim", "latin", "words"))]),
])
def test_parse_columns(text, columns):
    assert [(c.name, c.rules) for c in parse_columns(text)] == columns


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)


def flags_of(folder, tx_rows, keys_in, options):
    """Queries A.store (as both sides) in `keys_in` with `tx_rows` in `folder`, runs the steps after, and
    returns the flags (sender and receiver are the same row)."""
    write_csv(folder / "tx.csv", ["s_iban", "s_name", "r_iban", "r_name"], [list(r) + list(r) for r in tx_rows])
    path = {name: str(folder / name) for name in ("tx.csv", "Q.cts", "QA.cts", "QB.cts", "C", "C.sender",
                                                  "C.receiver", "C.gamma", "C.delta", "S.dec", "R.dec", "flags.csv")}
    store, key = str(keys_in / "A.store"), str(keys_in / "A.key")
    queried = kp.query(store, store, str(keys_in / "W.pub"), path["tx.csv"], ["s_iban", "s_name"],
                       ["r_iban", "r_name"], path["Q.cts"], options=options)
    kp.randomize(path["Q.cts"], path["QA.cts"], options)
    kp.randomize(path["Q.cts"], path["QB.cts"], options)
    kp.combine(path["QA.cts"], path["QB.cts"], path["C"], options)
    kp.decrypt(key, path["C.sender"], path["S.dec"], options=options)
    kp.decrypt(key, path["C.receiver"], path["R.dec"], options=options)
    kp.finish(str(keys_in / "W.key"), path["S.dec"], path["R.dec"], path["C.gamma"], path["C.delta"],
              path["flags.csv"], options=options)
    with open(path["flags.csv"], newline="") as f:
        return [row["match"] == "true" for row in csv.DictReader(f)], queried


def test_store_and_query_key_alike_and_keys_prints_what_the_store_holds(tmp_path):
    options = kp.Options(quiet=True)
    rng = random.Random(5)
    bank_a, _, _, _ = rules_corpus.make(60, 0, seed=3)
    bank = [list(r) for r in bank_a] + [["GB82WEST12345698765431", "Bad Check"],  # left out
                                        [bank_a[0][0], bank_a[0][1].upper()]]  # merged with row 1
    write_csv(tmp_path / "bank.csv", ["iban", "name"], bank)
    for name in ("A", "W"):
        kp.keygen(str(tmp_path / name), options)
    built = kp.build_store(str(tmp_path / "A.pub"), str(tmp_path / "bank.csv"), parse_columns("iban:iban,name:name"),
                           str(tmp_path / "A.store"), options=options, merged=str(tmp_path / "merged.csv"))
    assert built["invalid_ibans"] == 1 and built["merged"] == 2
    with open(tmp_path / "merged.csv", newline="", encoding="utf-8") as f:
        listed = list(csv.DictReader(f))
    assert {(r["row"], r["what"]) for r in listed} == {
        (str(len(bank_a) + 1), "invalid IBAN, left out"), ("1", "merged"), (str(len(bank_a) + 2), "merged")}

    # Counted on hashes, listed from a second reading of the file: as from text held for a stream in memory.
    memory = pa.table({"iban": [r[0] for r in bank], "name": [r[1] for r in bank]})
    for source in (memory, memory.to_reader()):
        again = kp.build_store(str(tmp_path / "A.pub"), source, parse_columns("iban:iban,name:name"),
                               str(tmp_path / "M.store"), options=kp.Options(quiet=True, force=True),
                               merged=str(tmp_path / "M.csv"))
        assert (again["merged"], again["invalid_ibans"]) == (2, 1)
        assert (tmp_path / "M.csv").read_bytes() == (tmp_path / "merged.csv").read_bytes()

    # Each formatting variant of a held row matches; a wrong check digit or another name does not.
    variants = [v for v, true in rules_corpus.VARIANTS.items() if true and v != "word order"]
    varied = []
    for variant in variants:
        account = next(a for a in bank_a if rules_corpus._fits(variant, a[1]))
        varied.append(rules_corpus._varied(rng, variant, account))
    wrong = [("GB82WEST12345698765431", "Bad Check"), (bank_a[1][0], "Someone Else")]
    (tmp_path / "varied").mkdir()
    flags, queried = flags_of(tmp_path / "varied", varied + wrong, tmp_path, options)
    assert flags == [True] * len(varied) + [False, False]
    assert queried["invalid_ibans"] == 1

    # The keys `keys` prints, as a transactions table (the rules being idempotent), all match.
    printed = kp.party.keys(str(tmp_path / "bank.csv"), parse_columns("iban:iban,name:name"))
    rows = list(csv.DictReader(printed.splitlines()))
    assert rows[len(bank_a)]["note"].startswith("invalid IBAN")
    keyed = [r["key"].split(keying.SHOWN_SEPARATOR) for r in rows if not r["note"]]
    assert keyed[0] == [bank_a[0][0], keys([bank_a[0][1]], ["name"])[0]]
    (tmp_path / "printed").mkdir()
    flags, _ = flags_of(tmp_path / "printed", keyed, tmp_path, options)
    assert flags == [True] * len(keyed)


def test_under_words_a_store_meets_its_names_in_any_order(tmp_path):
    options = kp.Options(quiet=True)
    bank = [["GB82WEST12345698765432", "Åsa Nowak"], ["DE89370400440532013000", "AB Orion Motors"],
            ["NL91ABNA0417164300", "Jan Peter de Vries"]]
    write_csv(tmp_path / "bank.csv", ["iban", "name"], bank)
    for name in ("A", "W"):
        kp.keygen(str(tmp_path / name), options)
    kp.build_store(str(tmp_path / "A.pub"), str(tmp_path / "bank.csv"), parse_columns("iban:iban,name:name+words"),
                   str(tmp_path / "A.store"), options=options)
    varied = [(bank[0][0], "NOWAK ÅSA"), (bank[0][0], "Nowak Asa"), (bank[1][0], "Orion Motors AB"),
              (bank[2][0], "de Vries Jan Peter"), (bank[0][0], "Nowak Eva"), (bank[2][0], "de Vries Jan")]
    flags, _ = flags_of(tmp_path, varied, tmp_path, options)
    assert flags == [True, True, True, True, False, False]


def test_query_refuses_a_store_keyed_with_other_tables(tmp_path, monkeypatch):
    options = kp.Options(quiet=True)
    write_csv(tmp_path / "bank.csv", ["iban", "name"], [["GB82WEST12345698765432", "Zoë"]])
    for name in ("A", "W"):
        kp.keygen(str(tmp_path / name), options)
    monkeypatch.setattr(keying, "TABLES_VERSION", 7)
    kp.build_store(str(tmp_path / "A.pub"), str(tmp_path / "bank.csv"), parse_columns("iban:iban,name:name"),
                   str(tmp_path / "A.store"), options=options)
    assert "rules tables: version 7" in kp.inspect(str(tmp_path / "A.store"))
    monkeypatch.setattr(keying, "TABLES_VERSION", 8)
    with pytest.raises(PartyError, match="keyed with rules tables version 7, this kestrova-party has version 8"):
        kp.query(str(tmp_path / "A.store"), str(tmp_path / "A.store"), str(tmp_path / "W.pub"),
                 str(tmp_path / "bank.csv"), ["iban", "name"], ["iban", "name"], str(tmp_path / "Q.cts"),
                 options=options)
    # Rules that read no table record no version, and any version queries such a store.
    kp.build_store(str(tmp_path / "A.pub"), str(tmp_path / "bank.csv"), parse_columns("iban:compact,name:trim"),
                   str(tmp_path / "B.store"), options=options)
    assert not any(line.startswith("rules tables") for line in kp.inspect(str(tmp_path / "B.store")))


def with_header_field(data: bytearray, offset: int, value: int) -> bytes:
    """A store's bytes with one 16-bit header field set and the header's digest made again, as a writer
    of that header would have left it."""
    import hashlib
    import struct
    from kestrova_protocol.header import HEADER, file_digest
    struct.pack_into("<H", data, offset, value)
    data[24:56] = file_digest(bytes(data[:HEADER.size]), hashlib.sha256(bytes(data[HEADER.size:])).digest())
    return bytes(data)


def test_a_store_keyed_before_legal_forms_moved_under_words_is_refused(tmp_path):
    options = kp.Options(quiet=True)
    write_csv(tmp_path / "bank.csv", ["iban", "name"], [["GB82WEST12345698765432", "Nowak Åsa"]])
    for name in ("A", "W"):
        kp.keygen(str(tmp_path / name), options)
    kp.build_store(str(tmp_path / "A.pub"), str(tmp_path / "bank.csv"), parse_columns("iban:iban,name:name+words"),
                   str(tmp_path / "A.store"), options=options)
    (tmp_path / "old.store").write_bytes(with_header_field(bytearray((tmp_path / "A.store").read_bytes()), 14, 1))
    with pytest.raises(PartyError, match="old.store: keyed with rules tables version 1, this kestrova-party has "
                                         "version 2: both sides must key with one version"):
        kp.query(str(tmp_path / "old.store"), str(tmp_path / "old.store"), str(tmp_path / "W.pub"),
                 str(tmp_path / "bank.csv"), ["iban", "name"], ["iban", "name"], str(tmp_path / "Q.cts"),
                 options=options)


def test_a_store_of_format_2_is_still_read(tmp_path):
    import struct
    options = kp.Options(quiet=True)
    write_csv(tmp_path / "bank.csv", ["iban", "name"], [["GB82WEST12345698765432", "Zoë"]])
    for name in ("A", "W"):
        kp.keygen(str(tmp_path / name), options)
    kp.build_store(str(tmp_path / "A.pub"), str(tmp_path / "bank.csv"), parse_columns("iban:compact,name:trim"),
                   str(tmp_path / "A.store"), options=options)
    data = bytearray((tmp_path / "A.store").read_bytes())
    assert struct.unpack_from("<H", data, 8) == (3,)
    (tmp_path / "old.store").write_bytes(with_header_field(data, 8, 2))
    assert "checksum: matches" in kp.inspect(str(tmp_path / "old.store"))
    done = kp.query(str(tmp_path / "old.store"), str(tmp_path / "old.store"), str(tmp_path / "W.pub"),
                    str(tmp_path / "bank.csv"), ["iban", "name"], ["iban", "name"], str(tmp_path / "Q.cts"),
                    options=options)
    assert done["items"] == 1
    # a tables version in a format-2 header is damage
    (tmp_path / "bad.store").write_bytes(with_header_field(data, 14, 1))
    with pytest.raises(PartyError, match="rules tables version"):
        kp.inspect(str(tmp_path / "bad.store"))
