# A Python literal: tuples, sets, bytes and complex numbers, which JSON cannot hold.
{
    ("tuple", "key"): {1, 2, 3},
    "bytes": b"\x00\xff",
    "complex": 1 + 2j,
    "singleton": (None,),
    "nested": [(), [], {}, set()],
}
