"""The seven functions as the three parties call them, on generated rows and transactions."""
import random

import kestrova


def bank_rows(prefix, n):
    return [[f"{prefix}-{i:05d}", f"Müller {i}", "CH" if i % 2 else "DE"] for i in range(n)]


def make_transactions(rows_a, rows_b, counts, seed=1):
    """counts: (both present, sender absent, receiver absent, both absent)."""
    rng = random.Random(seed)
    absent = lambda tag, i: [f"{tag}-absent-{i}", "nobody", "XX"]  # noqa: E731
    txs = []
    for kind, count in enumerate(counts):
        for i in range(count):
            s = rng.choice(rows_a) if kind in (0, 2) else absent("s", i)
            r = rng.choice(rows_b) if kind in (0, 1) else absent("r", i)
            txs.append((s, r, kind == 0))
    rng.shuffle(txs)
    return [t[0] for t in txs], [t[1] for t in txs], [t[2] for t in txs]


def run_protocol(keys, okvs_s, okvs_r, senders, receivers, sender_bank, receiver_bank):
    cts = kestrova.initiate_queries(senders, receivers, okvs_s, okvs_r, keys["w"][0])
    assert len(cts) == 128 * min(len(senders), len(receivers))
    s, r, g, d = kestrova.combine(kestrova.randomize(cts), kestrova.randomize(cts))
    s = kestrova.decrypt(s, keys[sender_bank][1])
    r = kestrova.decrypt(r, keys[receiver_bank][1])
    return kestrova.finish(s, r, g, d, keys["w"][1])
