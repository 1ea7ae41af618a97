"""The benchmark's datasets: seeded, so every run measures the same values."""

import dataclasses
import random

SEED = 20240607

_WORDS = [
    "alpha", "beta", "gamma", "delta", "epsilon", "zeta", "theta", "kappa", "lambda", "omicron",
    "status", "name", "value", "id", "created", "tags", "owner", "count", "enabled", "path",
]

# Non-ASCII pieces of several UTF-8 lengths, plus characters that repr() escapes.
_NON_ASCII = ["é", "ü", "ß", "ø", "Ω", "Ж", "ज", "中文", "日本", "€", "😀", "🙂"]
_NON_ASCII += ["\u00a0", "\u200b"]  # escaped by repr()
_ESCAPED = ["'", '"', "\\", "\n", "\t", "\x00", "\x7f"]


def _word(rng):
    return rng.choice(_WORDS)


def _json_leaf(rng):
    kind = rng.randrange(6)
    if kind == 0:
        return rng.randrange(-(10**9), 10**9)
    if kind == 1:
        return round(rng.uniform(-1e6, 1e6), rng.randrange(0, 7))
    if kind == 2:
        return f"{_word(rng)}-{rng.randrange(10**6)}"
    if kind == 3:
        return rng.random() < 0.5
    if kind == 4:
        return None
    return _word(rng) * rng.randrange(1, 4)


def _json_record(rng):
    return {
        "id": rng.randrange(10**12),
        "name": f"{_word(rng)} {_word(rng)}",
        "score": rng.uniform(0, 100),
        "active": rng.random() < 0.7,
        "parent": None if rng.random() < 0.5 else rng.randrange(10**6),
        "tags": [_word(rng) for _ in range(rng.randrange(0, 5))],
        "attributes": {_word(rng): _json_leaf(rng) for _ in range(rng.randrange(1, 6))},
        "history": [
            {"at": rng.randrange(1_600_000_000, 1_800_000_000), "value": _json_leaf(rng)}
            for _ in range(rng.randrange(0, 4))
        ],
    }


def count_leaves(obj):
    if isinstance(obj, dict):
        return sum(1 + count_leaves(v) for v in obj.values())  # keys are leaves too
    if isinstance(obj, (list, tuple)):
        return sum(count_leaves(v) for v in obj)
    if dataclasses.is_dataclass(obj) and not isinstance(obj, type):
        return sum(count_leaves(getattr(obj, f.name)) for f in dataclasses.fields(obj))
    return 1


def json_doc(leaves=100_000):
    """A JSON-like document: records of dicts, lists, strings, numbers, booleans and None."""
    rng = random.Random(SEED)
    records, total = [], 0
    while total < leaves:
        record = _json_record(rng)
        total += count_leaves(record)
        records.append(record)
    return {"version": 3, "generated": "2024-06-07T12:00:00Z", "records": records}


def ints(n=200_000):
    """A flat list of ints of mixed magnitudes (one to eighteen digits, either sign)."""
    rng = random.Random(SEED + 1)
    return [rng.randrange(-(10 ** rng.randrange(1, 19)), 10 ** rng.randrange(1, 19))
            for _ in range(n)]


def nesting(depth=200):
    """`depth` levels, cycling list, dict and tuple, each level carrying a few leaves."""
    rng = random.Random(SEED + 2)
    value = [rng.randrange(1000), "leaf"]
    for level in range(depth):
        kind = level % 3
        if kind == 0:
            value = [level, value, _word(rng)]
        elif kind == 1:
            value = {"level": level, "child": value, "note": _word(rng)}
        else:
            value = (level, value, rng.random())
    return value


@dataclasses.dataclass
class Address:
    street: str
    city: str
    zip_code: int


@dataclasses.dataclass
class Account:
    id: int
    owner: str
    balance: float
    active: bool
    address: Address
    tags: list
    limits: dict


def dataclasses_list(n=20_000):
    """`n` dataclass instances, each with a nested dataclass, a list and a dict."""
    rng = random.Random(SEED + 3)
    return [
        Account(
            id=i,
            owner=f"{_word(rng)} {_word(rng)}",
            balance=round(rng.uniform(-1e4, 1e6), 2),
            active=rng.random() < 0.8,
            address=Address(f"{rng.randrange(1, 999)} {_word(rng)} street", _word(rng),
                            rng.randrange(10000, 99999)),
            tags=[_word(rng) for _ in range(rng.randrange(0, 4))],
            limits={"daily": rng.randrange(100, 10000), "monthly": rng.randrange(1000, 100000)},
        )
        for i in range(n)
    ]


def strings(n=100_000):
    """`n` strings mixing ASCII words with non-ASCII characters and a few escaped ones."""
    rng = random.Random(SEED + 4)
    out = []
    for _ in range(n):
        parts = []
        for _ in range(rng.randrange(1, 5)):
            r = rng.random()
            if r < 0.55:
                parts.append(_word(rng))
            elif r < 0.95:
                parts.append(rng.choice(_NON_ASCII))
            else:
                parts.append(rng.choice(_ESCAPED))
        out.append(" ".join(parts))
    return out


def byte_blob(n=1 << 20):
    """`n` random bytes."""
    return random.Random(SEED + 5).randbytes(n)


# name -> builder(scale): the dataset at `scale` times its full size (the nesting keeps its depth).
STRUCTURED = {
    "json_doc": lambda scale=1.0: json_doc(int(100_000 * scale)),
    "ints": lambda scale=1.0: ints(int(200_000 * scale)),
    "nesting": lambda scale=1.0: nesting(),
    "dataclasses": lambda scale=1.0: dataclasses_list(int(20_000 * scale)),
    "strings": lambda scale=1.0: strings(int(100_000 * scale)),
}
