"""The README's examples are real: its Python sessions run as a doctest against the module."""

import doctest
import pathlib

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    failures, tried = doctest.testfile(str(README), module_relative=False, report=True)
    assert tried > 40
    assert failures == 0
