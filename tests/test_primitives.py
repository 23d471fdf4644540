"""The primitive functions: dice and PCG32 output against reference values and an independent
model of the generator, floor division against Python's, initiative order and range bands."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import kest_engine_native as k

U64 = st.integers(0, 2**64 - 1)
U32 = st.integers(0, 2**32 - 1)
I64 = st.integers(-(2**63), 2**63 - 1)
MASK64 = 2**64 - 1


class Pcg32Model:
    """PCG32 (XSH-RR) with the standard seeding on stream 6502698458505894875."""

    MULTIPLIER = 6364136223846793005

    def __init__(self, seed: int):
        self.inc = 2 * 6502698458505894875 + 1
        self.state = 0
        self.next()
        self.state = (self.state + seed) & MASK64
        self.next()

    def next(self) -> int:
        old = self.state
        self.state = (old * self.MULTIPLIER + self.inc) & MASK64
        xorshifted = (((old >> 18) ^ old) >> 27) & 0xFFFFFFFF
        rotation = old >> 59
        return ((xorshifted >> rotation) | (xorshifted << (-rotation & 31))) & 0xFFFFFFFF

    def roll_die(self, sides: int) -> int:
        if sides == 0:
            return 0
        threshold = (2**32 - sides) % sides
        while (out := self.next()) < threshold:
            pass
        return out % sides + 1


@pytest.mark.parametrize(("seed", "output"), [(0, 174444157), (1, 4033076299), (42, 1898997482)])
def test_pcg32_next(seed, output):
    assert k.pcg32_next(seed) == output


def test_model_agrees_with_the_reference_outputs():
    model = Pcg32Model(0)
    assert [model.next() for _ in range(3)] == [174444157, 2543941438, 3225358906]


@pytest.mark.parametrize(
    ("seed", "sides", "face"),
    [(0, 6, 2), (0, 20, 18), (42, 20, 3), (7, 0, 0), (0, 3_000_000_000, 2543941439), (0, 2**32 - 1, 174444158)],
)
def test_roll_die(seed, sides, face):
    assert k.roll_die(seed, sides) == face


@pytest.mark.parametrize(("seed", "count", "sides", "total"), [(0, 3, 6, 12), (1, 3, 6, 9), (5, 0, 6, 0), (5, 3, 0, 0)])
def test_roll_dice(seed, count, sides, total):
    assert k.roll_dice(seed, count, sides) == total


@given(seed=U64, sides=U32)
def test_pcg32_next_and_roll_die_match_the_model(seed, sides):
    assert k.pcg32_next(seed) == Pcg32Model(seed).next()
    assert k.roll_die(seed, sides) == Pcg32Model(seed).roll_die(sides)


@given(seed=U64, count=st.integers(0, 50), sides=st.one_of(st.integers(0, 100), U32))
def test_roll_dice_sums_successive_dice(seed, count, sides):
    model = Pcg32Model(seed)
    assert k.roll_dice(seed, count, sides) == sum(model.roll_die(sides) for _ in range(count))


def test_roll_dice_of_many_large_dice_does_not_wrap():
    model = Pcg32Model(3)
    assert k.roll_dice(3, 100_000, 2**32 - 1) == sum(model.roll_die(2**32 - 1) for _ in range(100_000))


@pytest.mark.parametrize(
    ("a", "b", "quotient"),
    [(7, 2, 3), (-7, 2, -4), (7, -2, -4), (-7, -2, 3), (-6, 3, -2), (-(2**63), 1, -(2**63)), (5, -1, -5)],
)
def test_floor_div(a, b, quotient):
    assert k.floor_div(a, b) == quotient


@given(a=I64, b=I64.filter(bool))
def test_floor_div_is_pythons_floor_division(a, b):
    if (a, b) == (-(2**63), -1):
        return
    assert k.floor_div(a, b) == a // b


@pytest.mark.parametrize(
    ("a", "b", "message"),
    [(1, 0, "floor_div by zero"), (0, 0, "floor_div by zero"), (-(2**63), -1, "floor_div overflow (i64::MIN / -1)")],
)
def test_floor_div_failures(a, b, message):
    with pytest.raises(ValueError) as failure:
        k.floor_div(a, b)
    assert type(failure.value) is ValueError and str(failure.value) == message


@pytest.mark.parametrize(
    ("entries", "ids"),
    [
        ([(1, 15, 2, 13), (2, 15, 3, 12), (3, 18, 0, 18)], [3, 2, 1]),
        ([(10, 12, 1, 11), (9, 12, 1, 11)], [9, 10]),
        ([(-5, 10, 0, 10), (3, 10, 0, 10)], [-5, 3]),
        ([(1, 10, 2, 5), (2, 10, 2, 19)], [2, 1]),
        ([], []),
        ([(7, 1, 2, 3)], [7]),
    ],
)
def test_initiative_order(entries, ids):
    assert k.initiative_order_ids(entries) == ids


entry = st.tuples(st.integers(-(2**63), 2**63 - 1), st.integers(-3, 3), st.integers(-3, 3), st.integers(1, 3))


@given(entries=st.lists(entry, max_size=40))
def test_initiative_order_is_a_stable_sort_by_its_keys(entries):
    ordered = sorted(entries, key=lambda e: (-e[1], -e[2], -e[3], e[0]))
    assert k.initiative_order_ids(entries) == [e[0] for e in ordered]


@pytest.mark.parametrize(
    ("feet", "band"),
    [
        (-(2**63), "near"),
        (-1, "near"),
        (0, "engaged"),
        (5, "engaged"),
        (6, "near"),
        (30, "near"),
        (31, "far"),
        (2**63 - 1, "far"),
    ],
)
def test_band_from_distance_ft(feet, band):
    assert k.band_from_distance_ft(feet) == band


BANDS = ["engaged", "near", "far"]
NOT_BANDS = ["", "Near", "FAR", "near ", " far", "nearby", "engage", "near\x00", "ｆａｒ"]


def test_band_within_compares_ranks():
    for band in BANDS:
        for max_band in BANDS:
            assert k.band_within(band, max_band) is (BANDS.index(band) <= BANDS.index(max_band))


@pytest.mark.parametrize("other", NOT_BANDS)
def test_band_within_is_false_for_anything_but_exact_names(other):
    assert k.band_within(other, "far") is False
    assert k.band_within("engaged", other) is False
    assert k.band_within(other, other) is False
