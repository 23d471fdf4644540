"""The comparison behind `make sdist-check`: a wheel built from the source distribution must hold
the files of the source tree's wheel, byte for byte except where the build directory shows."""

import pytest

from tools.sdist_check import differences

TREE = {
    "kest_engine_native.abi3.so": b"module",
    "kest_engine_native.pyi": b"stub",
    "kest/data/world.json": b"{}",
    "kest_engine_native-1.0.dist-info/RECORD": b"record",
}


@pytest.mark.parametrize(
    ("change", "expected"),
    [
        ({}, []),
        ({"kest_engine_native.abi3.so": b"built elsewhere"}, []),
        ({"kest_engine_native-1.0.dist-info/RECORD": b"other hashes"}, []),
        ({"kest/data/world.json": b"[]"}, ["differs: kest/data/world.json"]),
        ({"kest_engine_native.pyi": None}, ["missing from the sdist's wheel: kest_engine_native.pyi"]),
        ({"kest/stray.py": b""}, ["only from the sdist: kest/stray.py"]),
    ],
    ids=["same", "module-bytes", "record", "data-file", "missing-stub", "extra-file"],
)
def test_differences(change, expected):
    built = {name: data for name, data in (TREE | change).items() if data is not None}
    assert differences(built, TREE) == expected
