"""A corpus of payment data for the column rules: two banks' accounts and transactions whose sender or
receiver fields carry the variations real payments have, with a truth file.

Each transaction varies one side (chosen at random) and names the other side exactly. Variants
marked `true` name an existing account, formatted otherwise; the rest name no account (or, for
`legal form swapped`, another company's name that differs only in its legal form), and a match
there is a false match. Used by tests/python/test_rules.py (small) and bench/python/rules_recall.py.

    python tests/python/rules_corpus.py OUT_DIR [--accounts 100000] [--transactions 100000] [--seed 1]
"""

from __future__ import annotations

import argparse
import csv
import random
import unicodedata
from pathlib import Path
from typing import Dict, List, Tuple

BANK_COLUMNS = ("iban", "name")
TX_COLUMNS = ("tx", "sender_iban", "sender_name", "receiver_iban", "receiver_name")

# (country of the IBAN, first names, last names): people of nine countries as their banks spell them.
PEOPLE = (
    ("DE", ("Jürgen", "Björn", "Käthe", "Günther", "Zoë", "Jörg", "Anna", "Lukas"),
     ("Müller", "Schröder", "Bäcker", "Köhler", "Weiß", "Groß", "Schmidt", "Krüger", "Hoffmann")),
    ("FR", ("Chloé", "Maëlle", "Hélène", "François", "Noël", "Zoë", "Léa"),
     ("Lefèvre", "Dupré", "Bérénice", "Garçon", "Lemaître", "Moreau", "Girard")),
    ("ES", ("José", "María", "Ángel", "Íñigo", "Sofía", "Raúl"),
     ("Álvarez", "Peña", "Muñoz", "Núñez", "García", "Sánchez", "Ortíz")),
    ("PL", ("Łukasz", "Paweł", "Zoë", "Małgorzata", "Wojciech", "Agnieszka"),
     ("Nowak", "Wójcik", "Kowalczyk", "Żółkiewski", "Wiśniewski", "Dąbrowski", "Łęcki")),
    ("TR", ("Ayşe", "İbrahim", "Işıl", "Çağla", "Mehmet", "Gül", "Ilgın"),
     ("Yılmaz", "Şahin", "Çelik", "Öztürk", "Kılıç", "Aydın", "Doğan")),
    ("GR", ("Νίκος", "Ελένη", "Γιώργος", "Δημήτρης"), ("Παπαδόπουλος", "Οικονόμου", "Γεωργίου", "Νικολάου")),
    ("IE", ("Seán", "Siobhán", "Aoife", "Patrick", "Mary"), ("O'Brien", "O'Connor", "D'Arcy", "Ó Súilleabháin")),
    ("NO", ("Søren", "Ægir", "Åsa", "Bjørn", "Ørjan"), ("Jørgensen", "Ødegård", "Læstad", "Håland")),
    ("NL", ("王芳", "李伟", "张敏", "刘洋"), ("",)),  # a Chinese name is one string, with no Latin form
)
COMPANY_WORDS = ("Orion", "Nordic", "Atlas", "Blue", "River", "Summit", "Vega", "Polar", "Aurora", "Delta",
                 "Motors", "Logistics", "Foods", "Systems", "Trading", "Media", "Energy", "Partners")
# (country, legal form as the bank has it, other spellings of the same form, another form of the country)
LEGAL_FORMS = (
    ("GB", "Ltd", ("Limited", "Ltd.", "LTD"), "PLC"), ("GB", "Limited", ("Ltd", "Ltd."), "LLP"),
    ("DE", "GmbH", ("", "G.m.b.H."), "AG"), ("DE", "GmbH & Co. KG", ("GmbH & Co KG", ""), "KG"),
    ("NL", "B.V.", ("BV", ""), "N.V."), ("FR", "S.A.", ("SA", ""), "SAS"), ("ES", "S.L.", ("SL", ""), "S.A."),
    ("IT", "S.p.A.", ("SpA", ""), "S.r.l."), ("PL", "Sp. z o.o.", ("Sp. z o. o.", ""), "S.A."),
    ("DK", "ApS", ("", "APS"), "A/S"), ("SE", "AB", ("",), "HB"), ("FI", "Oy", ("",), "Oyj"),
)

# Variant name -> does the varied field name an existing account?
VARIANTS = {
    "exact": True, "IBAN with spaces": True, "IBAN in lower case": True, "extra or trailing spaces": True,
    "decomposed Unicode": True, "name in upper case": True, "diacritics dropped": True,
    "umlaut spelt out": True, "punctuation": True, "legal form": True, "word order": True,
    "O Brien (space for the apostrophe)": True,
    "account missing": False, "known IBAN, other name": False, "IBAN mistyped": False,
    "legal form swapped": False,
}
FORMATTING = [v for v, true in VARIANTS.items() if true and v != "word order"
              and not v.startswith("O Brien")]


def iban(rng: random.Random, country: str, lengths: Dict[str, int]) -> str:
    body = "".join(rng.choice("0123456789") for _ in range(lengths[country] - 4))
    if country in ("GB", "NL", "IE"):
        body = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(4)) + body[4:]
    number = int("".join(str(int(c, 36)) for c in body + country + "00"))
    return f"{country}{98 - number % 97:02d}{body}"


def iban_lengths() -> Dict[str, int]:
    import json
    import kestrova_protocol
    path = Path(kestrova_protocol.__file__).parent / "rules_tables" / "iban_lengths.json"
    return json.loads(path.read_text(encoding="utf-8"))["lengths"]


def _person(rng: random.Random) -> Tuple[str, str]:
    country, first, last = rng.choice(PEOPLE)
    surname = rng.choice(last)
    name = rng.choice(first) + (" " + surname if surname else "")
    if rng.random() < 0.15 and surname:
        name = rng.choice(first) + " " + rng.choice(first) + " " + surname  # two given names
    return country, name


def _company(rng: random.Random) -> Tuple[str, str]:
    country, form, _, _ = rng.choice(LEGAL_FORMS)
    words = rng.sample(COMPANY_WORDS, 2)
    if rng.random() < 0.2:
        words[0] = rng.choice(("Smith & Jones", "Müller & Söhne", "Brown + Green", "O'Neill's"))
    return country, " ".join(words) + " " + form


def strip_diacritics(text: str) -> str:
    """As a person types it without the accents: Müller -> Muller, Łukasz -> Lukasz."""
    text = text.translate(str.maketrans({"ł": "l", "Ł": "L", "ø": "o", "Ø": "O", "ß": "ss", "ı": "i",
                                         "İ": "I", "æ": "ae", "Æ": "Ae", "đ": "d"}))
    return "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c))


def spell_umlauts(text: str) -> str:
    for a, b in (("ä", "ae"), ("ö", "oe"), ("ü", "ue"), ("Ä", "Ae"), ("Ö", "Oe"), ("Ü", "Ue"), ("ß", "ss")):
        text = text.replace(a, b)
    return text


def drop_punctuation(text: str) -> str:
    return text.replace("'", "").replace(".", "").replace(" & ", " and ").replace(" + ", " and ")


def _legal_variant(rng: random.Random, name: str) -> str:
    for _, form, others, _ in LEGAL_FORMS:
        if name.endswith(" " + form):
            other = rng.choice(others)
            return name[:-len(form)] + other if other else name[:-len(form) - 1]
    return name


def _legal_swap(name: str) -> str:
    for _, form, _, other in LEGAL_FORMS:
        if name.endswith(" " + form):
            return name[:-len(form)] + other
    return name


def _varied(rng: random.Random, variant: str, account: Tuple[str, str]) -> Tuple[str, str]:
    number, name = account
    if variant == "IBAN with spaces":
        return " ".join(number[i:i + 4] for i in range(0, len(number), 4)), name
    if variant == "IBAN in lower case":
        return number.lower(), name
    if variant == "extra or trailing spaces":
        return number + " ", "  " + name.replace(" ", "  ") + " "
    if variant == "decomposed Unicode":
        return number, unicodedata.normalize("NFD", name)
    if variant == "name in upper case":
        return number, name.upper()
    if variant == "diacritics dropped":
        return number, strip_diacritics(name)
    if variant == "umlaut spelt out":
        return number, spell_umlauts(name)
    if variant == "punctuation":
        return number, drop_punctuation(name)
    if variant == "legal form":
        return number, _legal_variant(rng, name)
    if variant == "word order":
        words = name.split(" ")
        return number, " ".join(words[1:] + words[:1])
    if variant.startswith("O Brien"):
        return number, name.replace("'", " ")
    if variant == "legal form swapped":
        return number, _legal_swap(name)
    if variant == "IBAN mistyped":
        i = rng.randrange(4, len(number))
        digit = number[i]
        options = "0123456789" if digit.isdigit() else "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
        return number[:i] + rng.choice(options.replace(digit, "")) + number[i + 1:], name
    return number, name


def _fits(variant: str, name: str) -> bool:
    """Whether the variant changes this name (the corpus measures the variations, not their absence)."""
    if variant == "umlaut spelt out":
        return spell_umlauts(name) != name
    if variant == "diacritics dropped":
        return strip_diacritics(name) != name
    if variant == "punctuation":
        return drop_punctuation(name) != name
    if variant in ("legal form", "legal form swapped"):
        return _legal_swap(name) != name
    if variant == "word order":  # a person's names; a company's words keep their order
        return " " in name and _legal_swap(name) == name and not any(w in name for w in COMPANY_WORDS)
    if variant.startswith("O Brien"):
        return "'" in name
    if variant == "decomposed Unicode":
        return unicodedata.normalize("NFD", name) != name
    if variant == "name in upper case":
        return name.upper() != name
    return True


def make(accounts: int, transactions: int, seed: int = 1):
    """Two banks' rows, the transactions and their truth: (bank_a, bank_b, transactions, truth)."""
    rng = random.Random(seed)
    lengths = iban_lengths()
    banks: List[List[Tuple[str, str]]] = []
    used = set()
    for _ in range(2):
        rows = []
        while len(rows) < accounts:
            country, name = _company(rng) if rng.random() < 0.3 else _person(rng)
            number = iban(rng, country if country in lengths else "DE", lengths)
            if number not in used:
                used.add(number)
                rows.append((number, name))
        banks.append(rows)
    names = list(VARIANTS)
    weights = [0.3 / 4 if not VARIANTS[v] else 0.7 / 12 for v in names]
    tx_rows, truth = [], []
    for t in range(transactions):
        variant = rng.choices(names, weights)[0]
        side = rng.randrange(2)
        other = rng.choice(banks[1 - side])
        bank = banks[side]
        for _ in range(50):
            account = rng.choice(bank)
            if _fits(variant, account[1]):
                break
        else:
            variant, account = "exact", rng.choice(bank)
        if variant == "account missing":
            country, name = _person(rng)
            varied = (iban(rng, "DE", lengths), name)
        elif variant == "known IBAN, other name":
            varied = (account[0], rng.choice(bank)[1])
            if varied[1] == account[1]:
                varied = (account[0], account[1] + " Jr")
        else:
            varied = _varied(rng, variant, account)
        sender, receiver = (varied, other) if side == 0 else (other, varied)
        tx_rows.append((str(t), sender[0], sender[1], receiver[0], receiver[1]))
        truth.append((str(t), variant, "sender" if side == 0 else "receiver", "true" if VARIANTS[variant] else "false"))
    return banks[0], banks[1], tx_rows, truth


def write(folder: Path, accounts: int, transactions: int, seed: int = 1) -> None:
    bank_a, bank_b, tx_rows, truth = make(accounts, transactions, seed)
    folder.mkdir(parents=True, exist_ok=True)
    for name, header, rows in (("bank_a.csv", BANK_COLUMNS, bank_a), ("bank_b.csv", BANK_COLUMNS, bank_b),
                               ("transactions.csv", TX_COLUMNS, tx_rows),
                               ("truth.csv", ("tx", "variant", "side", "true"), truth)):
        with open(folder / name, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(header)
            writer.writerows(rows)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--accounts", type=int, default=100_000)
    parser.add_argument("--transactions", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    write(args.out, args.accounts, args.transactions, args.seed)
