"""Pretty-prints a sample value that shows every shape mervik renders."""

import dataclasses

import mervik


@dataclasses.dataclass
class Point:
    x: int
    y: int


@dataclasses.dataclass
class Empty:
    pass


sample = {
    "name": "mervik",
    "numbers": [1, 2.5, -3],
    "point": Point(1, 2),
    "nothing": Empty(),
    "empty": ([], {}, ()),
    (1, "tuple key"): {"set": {1, 2}, "bytes": b"\x00\xff", "none": None},
}

print(mervik.pretty_format(sample))
