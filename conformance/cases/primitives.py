"""Cases of the primitives: version, range bands, dice, the generator's first output, floor
division and initiative order."""

import random

from conformance.cases import U64_MAX, boundary, call, grid

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
U32_MAX = 2**32 - 1

# Seeds that reach every corner of the 64-bit state: small, powers of two and their neighbours,
# the top of the range and a fixed sample.
EDGE_SEEDS = sorted({0, 1, 2, 3, 42, 255, 256, 6502698458505894875, I64_MAX, 2**63, U64_MAX - 1, U64_MAX})
POWER_SEEDS = sorted({max(0, 2**k + d) for k in range(64) for d in (-1, 0, 1)} - set(EDGE_SEEDS))
_SEEDS = random.Random(20261208)
SAMPLED_SEEDS = [_SEEDS.getrandbits(64) for _ in range(1500)]

# Sides whose rejection threshold ((2^32 - sides) mod sides) ranges from 0 to nearly half the outputs.
SIDES = [0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 20, 100, 255, 256, 1000, 65535, 65536, 100000, 2**31 - 1, 2**31]
SIDES += [2**31 + 1, 3 * 2**30, 3 * 2**30 + 7, U32_MAX - 1, U32_MAX]

BAND_NAMES = ["engaged", "near", "far", "", "Near", "FAR", "near ", " far", "nearby", "engagedx", "fa", "n\u00e9ar"]

VERSION = {
    "call": [call()],
    "arguments": [boundary(*range(count)) for count in range(1, 25)],
    "keywords": [boundary(**{name: 1}) for name in ("x", "seed", "version", "v", "self", "_", "a" * 40)]
    + [boundary(**{f"k{n}": n for n in range(count)}) for count in range(2, 20)],
}

BAND_FROM_DISTANCE = {
    "thresholds": [call(feet) for feet in range(-40, 101)],
    "extremes": [
        call(feet) for feet in (I64_MIN, I64_MIN + 1, -(2**53), -1000000, 1000000, 2**53, I64_MAX - 1, I64_MAX)
    ],
    "keyword": [call(feet=5), call(feet=6), call(feet=31)],
    "conversion": [boundary(I64_MAX + 1), boundary(I64_MIN - 1), boundary(2**64), boundary("5"), boundary(None)]
    + [boundary(b"5"), boundary([5]), boundary(True), boundary(False)],
    "binding": [boundary(), boundary(1, 2), boundary(distance=3), boundary(5, feet=5)],
}

BAND_WITHIN = {
    "pairs": [call(band, limit) for band, limit in grid(BAND_NAMES, BAND_NAMES)],
    "keywords": [call(band="near", max_band="far"), call("far", max_band="near")],
    "conversion": [boundary(1, "far"), boundary("near", None), boundary(b"near", "far"), boundary("\ud800", "far")],
    "binding": [boundary(), boundary("near"), boundary("near", "far", "far"), boundary("near", limit="far")],
}

ROLL_DIE = {
    "edge_seeds": [call(seed, sides) for seed, sides in grid(EDGE_SEEDS, SIDES)],
    "power_seeds": [call(seed, sides) for seed, sides in grid(POWER_SEEDS, [6, 20, 2**31 + 1])],
    "sampled": [call(seed, SIDES[n % len(SIDES)]) for n, seed in enumerate(SAMPLED_SEEDS)],
    "keywords": [call(seed=0, sides=6), call(42, sides=20)],
    "conversion": [boundary(0, -1), boundary(0, 2**32), boundary(0, 2**63), boundary(0, 2**64), boundary(-1, 6)]
    + [boundary(2**64, 6), boundary("0", 6), boundary(0, "6"), boundary(None, 6), boundary(0, b"6")],
    "binding": [boundary(), boundary(0), boundary(0, 6, 1), boundary(0, faces=6), boundary(0, 6, seed=1)],
}

DICE_COUNTS = [0, 1, 2, 3, 10, 100, 1000]
ROLL_DICE = {
    "grid": [call(seed, count, sides) for seed, count, sides in grid(EDGE_SEEDS[:8], DICE_COUNTS, SIDES[::3])],
    "sampled": [call(seed, 1 + n % 40, SIDES[n % len(SIDES)]) for n, seed in enumerate(SAMPLED_SEEDS[:500])],
    # Sums beyond 2^53 travel as int tags; the longest case takes five million draws.
    "large_sums": [call(7, 100000, U32_MAX), call(9, 5000000, U32_MAX), call(11, 65536, 2**31 + 1)],
    "keywords": [call(seed=0, count=3, sides=6), call(1, 3, sides=6)],
    "conversion": [boundary(0, -1, 6), boundary(0, 2**32, 6), boundary(0, 3, 2**32), boundary(-1, 3, 6)]
    + [boundary(0, "3", 6), boundary(0, 3, None)],
    "binding": [boundary(0, 3), boundary(0, 3, 6, 1), boundary(seed=0, count=3)],
}

PCG32_NEXT = {
    "edge_seeds": [call(seed) for seed in EDGE_SEEDS],
    "powers_of_two": [call(seed) for seed in POWER_SEEDS],
    "counting": [call(seed) for seed in range(1000)],
    "sampled": [call(seed) for seed in SAMPLED_SEEDS[:1200]],
    "keyword": [call(seed=0), call(seed=U64_MAX)],
    "conversion": [boundary(-1), boundary(2**64), boundary(-(2**64)), boundary("1"), boundary(None), boundary(b"")],
    "binding": [boundary(), boundary(1, 2), boundary(state=1)],
}

DIVIDENDS = [0, 1, 2, 5, 6, 7, 9, -1, -2, -5, -6, -7, -9, I64_MAX, I64_MIN, I64_MIN + 1, 2**53, -(2**53)]
DIVISORS = [1, 2, 3, 7, -1, -2, -3, -7, I64_MAX, I64_MIN, 0]
FLOOR_DIV = {
    "grid": [call(a, b) for a, b in grid(DIVIDENDS, DIVISORS)],
    "overflow": [call(I64_MIN, -1), call(I64_MIN, 1), call(I64_MIN + 1, -1)],
    "keywords": [call(a=-7, b=2), call(7, b=-2)],
    "conversion": [boundary(I64_MAX + 1, 1), boundary(1, I64_MIN - 1), boundary("7", 2), boundary(7, None)],
    "binding": [boundary(7), boundary(7, 2, 1), boundary(7, c=2)],
}


def _initiative_lists(seed: int, count: int) -> list:
    rng = random.Random(seed)
    lists = []
    for _ in range(count):
        size = rng.randrange(0, 12)
        # Narrow ranges make ties on total, modifier and d20 frequent, so the id decides often.
        ids = rng.sample(range(-12, 25), size)
        entries = [(i, rng.randrange(8, 12), rng.randrange(-1, 2), rng.randrange(9, 12)) for i in ids]
        lists.append(entries)
    return lists


INITIATIVE = {
    "documented": [
        call([(1, 15, 2, 13), (2, 15, 3, 12), (3, 18, 0, 18)]),
        call([(10, 12, 1, 11), (9, 12, 1, 11)]),
        call([(-5, 10, 0, 10), (3, 10, 0, 10)]),
        call([]),
        call([(4, 1, 1, 1)]),
    ],
    "ties": [
        call([(2, 10, 0, 10), (10, 10, 0, 10), (1, 10, 0, 10), (-1, 10, 0, 10), (0, 10, 0, 10), (-10, 10, 0, 10)]),
        call([(5, 10, 0, 10), (5, 10, 0, 10), (5, 10, 0, 9)]),
        call([(1, 10, 2, 3), (2, 10, 2, 5), (3, 10, 1, 20)]),
        call([(I64_MIN, 0, 0, 0), (I64_MAX, 0, 0, 0), (0, 0, 0, 0), (-1, 0, 0, 0)]),
        call([(1, I64_MIN, I64_MIN, I64_MIN), (2, I64_MAX, I64_MAX, I64_MAX), (3, 0, I64_MAX, I64_MIN)]),
    ],
    "sampled": [call(entries) for entries in _initiative_lists(91, 150)],
    "keyword": [call(entries=[(2, 1, 1, 1), (1, 1, 1, 1)])],
    # Any sequence of entries will do, not only a list.
    "sequences": [boundary(((1, 2, 3, 4), (2, 2, 3, 4))), boundary(())],
    "conversion": [
        boundary([(1, 2, 3)]),
        boundary([(1, 2, 3, 4, 5)]),
        boundary("1234"),
        boundary([(1, 2, 3, "4")]),
        boundary([(I64_MAX + 1, 0, 0, 0)]),
        boundary([(1, 0, 0, I64_MIN - 1)]),
        boundary([[1, 2, 3, 4]]),
        boundary([None]),
        boundary(None),
        boundary(7),
    ],
    "binding": [boundary(), boundary([], []), boundary(items=[])],
}

TABLES = {
    "version": VERSION,
    "band_from_distance_ft": BAND_FROM_DISTANCE,
    "band_within": BAND_WITHIN,
    "roll_die": ROLL_DIE,
    "roll_dice": ROLL_DICE,
    "pcg32_next": PCG32_NEXT,
    "floor_div": FLOOR_DIV,
    "initiative_order_ids": INITIATIVE,
}
