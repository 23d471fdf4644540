"""The module object and its boundary: the function table, argument binding, argument conversion,
the engine-fault exception, and the installed module imported from outside the source tree."""

import ast
import gc
import importlib
import importlib.metadata
import inspect
import operator
import os
import pathlib
import subprocess
import sys
import sysconfig
import types

import pytest

import kest_engine_native as k

# The whole function table in registration order, with each function's call signature.
SIGNATURES = {
    "version": "()",
    "band_from_distance_ft": "(feet)",
    "band_within": "(band, max_band)",
    "roll_die": "(seed, sides)",
    "roll_dice": "(seed, count, sides)",
    "pcg32_next": "(seed)",
    "floor_div": "(a, b)",
    "initiative_order_ids": "(entries)",
    "hmac_sha256_hex": "(key, message)",
    "sign_record": "(key, seq, type_, payload_json, prev_sig)",
    "world_state_hash": "(key, state_json)",
    "global_region_hash": "(key, regions_json)",
    "evaluate_action": "(state_json, check_json, actor, target=None, seed=0)",
    "apply_triggered_mutations": "(state_json, mutations_json, actor, target=None, seed=0)",
    "tick_epoch": "(input_json)",
    "catch_up_epochs": "(input_json)",
    "resume_session": "(input_json)",
    "tick_frame": "(input_json)",
    "reconcile_frames": "(input_json)",
}

# Descriptions of the primitive functions; the other functions' are checked with their areas.
INITIATIVE_DOC = (
    "Order initiative entries and return their ids. Each entry is a\n(id, total, modifier, d20) tuple. Same "
    "tiebreak as the core: total DESC,\nmodifier DESC, d20 DESC, id ASC (string compare - see the engine's note on "
    "the\nid tiebreak; numeric ids round-trip through to_string/parse here)."
)
PRIMITIVE_DESCRIPTIONS = {name: None for name in list(SIGNATURES)[:7]} | {"initiative_order_ids": INITIATIVE_DOC}

U32_RANGE_MESSAGE = "out of range integral type conversion attempted"


class Index:
    """Any object with `__index__` converts as the integer it stands for."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BrokenIndex:
    def __index__(self):
        raise ArithmeticError("no integer here")


def test_module_object():
    assert k.__name__ == "kest_engine_native"
    assert k.__doc__ == "The module name MUST equal the [lib] name (kest_engine_native)."
    # One version, the CMake project's, for the module and the installed package alike.
    assert k.__version__ == k.version() == importlib.metadata.version("kest-engine-native")
    public = [name for name in vars(k) if not name.startswith("_")]
    assert public == [*SIGNATURES, "EngineInternalError", "MUTATION_OPS"]
    assert k.MUTATION_OPS == ("set_prop", "add_prop", "sub_prop", "add_tag", "remove_tag")
    assert all(isinstance(getattr(k, name), types.BuiltinFunctionType) for name in SIGNATURES)


@pytest.mark.parametrize("name", SIGNATURES)
def test_text_signatures(name):
    assert getattr(k, name).__text_signature__ == SIGNATURES[name]


def stub_signatures():
    """Each function of the type stub as "(name, other=default)", the form of __text_signature__."""
    stub = pathlib.Path(__file__).parents[1] / "kest_engine_native" / "kest_engine_native.pyi"
    signatures = {}
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            arguments = node.args
            defaults = [None] * (len(arguments.args) - len(arguments.defaults)) + arguments.defaults
            parts = [
                a.arg + ("" if d is None else "=" + ast.unparse(d))
                for a, d in zip(arguments.args, defaults, strict=True)
            ]
            signatures[node.name] = "(" + ", ".join(parts) + ")"
    return signatures


@pytest.mark.parametrize("name", SIGNATURES)
def test_type_stub_declares_what_the_module_binds(name):
    assert stub_signatures()[name] == getattr(k, name).__text_signature__
    assert list(stub_signatures()) == list(SIGNATURES)


@pytest.mark.parametrize("name", PRIMITIVE_DESCRIPTIONS)
def test_primitive_docstrings(name):
    assert getattr(k, name).__doc__ == PRIMITIVE_DESCRIPTIONS[name]


def test_engine_internal_error_is_not_a_rejected_input():
    fault = k.EngineInternalError
    assert issubclass(fault, Exception)
    assert not issubclass(fault, (ValueError, TypeError))
    assert fault.__module__ == "kest_engine_native" and fault.__name__ == "EngineInternalError"


@pytest.mark.parametrize("call", [lambda m: m.roll_die(7, 20), lambda m: m.version(), lambda m: m.pcg32_next(3)])
def test_each_import_owns_its_module_and_error_type(call):
    saved = sys.modules.pop("kest_engine_native")
    try:
        fresh = importlib.import_module("kest_engine_native")
    finally:
        sys.modules["kest_engine_native"] = saved
    assert fresh is not saved
    assert fresh.EngineInternalError is not saved.EngineInternalError
    assert fresh.roll_die.__self__ is fresh and saved.roll_die.__self__ is saved
    bound = fresh.roll_die
    del fresh
    gc.collect()
    # A function outlives its module's name binding: the module state it reads stays alive.
    assert bound.__self__.EngineInternalError.__name__ == "EngineInternalError"
    assert call(bound.__self__) == call(saved)


def test_arguments_bind_positionally_or_by_keyword():
    assert k.roll_dice(0, 3, 6) == k.roll_dice(seed=0, count=3, sides=6) == k.roll_dice(0, sides=6, count=3) == 12
    assert k.floor_div(b=2, a=-7) == -4
    assert k.band_within("near", max_band="far") is True
    assert k.initiative_order_ids(entries=[(1, 0, 0, 0)]) == [1]


def model_of(name: str):
    """A `def` with the function's signature: its TypeErrors are the interpreter's own wording."""
    namespace = {}
    exec(f"def {name}{SIGNATURES[name]}: pass", namespace)
    return namespace[name]


def bad_calls(model) -> list[tuple[tuple, dict]]:
    """Calls that break the model's signature: surplus, unknown, missing and doubled arguments."""
    parameters = inspect.signature(model).parameters.values()
    names = [p.name for p in parameters]
    required = [p.name for p in parameters if p.default is inspect.Parameter.empty]
    calls = [((0,) * (len(names) + 1), {}), ((), {"bogus": 0})]
    if required:
        calls += [
            ((), {}),
            ((0,) * (len(required) - 1), {}),
            ((), {name: 0 for name in required[1:]}),
            ((0,) * len(required), {names[0]: 0}),
        ]
    return calls


@pytest.mark.parametrize("name", SIGNATURES)
def test_binding_errors_use_the_interpreters_wording(name):
    model = model_of(name)
    for args, kwargs in bad_calls(model):
        with pytest.raises(TypeError) as expected:
            model(*args, **kwargs)
        with pytest.raises(TypeError) as failure:
            getattr(k, name)(*args, **kwargs)
        assert str(failure.value) == str(expected.value), (args, kwargs)


def test_non_string_keywords_are_refused():
    with pytest.raises(TypeError):
        k.roll_die(0, 6, **{1: 2})


def type_error_text(value) -> str:
    """What the interpreter says when `value` is used as an integer."""
    with pytest.raises(TypeError) as failure:
        operator.index(value)
    return str(failure.value)


@pytest.mark.parametrize(
    ("call", "value"),
    [
        (lambda v: k.pcg32_next(v), Index(42)),
        (lambda v: k.roll_die(42, v), Index(20)),
        (lambda v: k.floor_div(v, 1), Index(-(2**63))),
    ],
)
def test_index_objects_convert_as_integers(call, value):
    assert call(value) == call(value.value)


@pytest.mark.parametrize(
    ("call", "name"),
    [
        (lambda v: k.pcg32_next(v), "seed"),
        (lambda v: k.roll_dice(0, v, 6), "count"),
        (lambda v: k.roll_die(0, v), "sides"),
        (lambda v: k.floor_div(1, v), "b"),
        (lambda v: k.band_from_distance_ft(v), "feet"),
        (lambda v: k.sign_record(b"k", v, "t", "1", ""), "seq"),
    ],
)
@pytest.mark.parametrize("value", [1.0, "1", None, b"1", Index("1")])
def test_non_integers_are_type_errors_naming_the_argument(call, name, value):
    original = type_error_text(value)
    with pytest.raises(TypeError) as failure:
        call(value)
    assert str(failure.value) == f"argument '{name}': {original}"


def test_errors_raised_by_index_pass_unchanged():
    with pytest.raises(ArithmeticError, match="^no integer here$"):
        k.roll_die(BrokenIndex(), 6)


@pytest.mark.parametrize(
    ("call", "accepted", "refused"),
    [
        (k.pcg32_next, [0, 2**64 - 1, True], [-1, 2**64, -(2**70)]),
        (lambda v: k.floor_div(v, 1), [-(2**63), 2**63 - 1], [2**63, -(2**63) - 1]),
        (k.band_from_distance_ft, [-(2**63), 2**63 - 1], [2**63, -(2**63) - 1, 10**40]),
    ],
)
def test_u64_and_i64_bounds(call, accepted, refused):
    for value in accepted:
        call(value)
    for value in refused:
        with pytest.raises(OverflowError):
            call(value)


def test_u32_bounds():
    assert 1 <= k.roll_die(0, 2**32 - 1) <= 2**32 - 1
    assert k.roll_die(0, Index(0)) == 0
    for sides in (-1, 2**32, 2**63 - 1, -(2**63)):
        with pytest.raises(OverflowError) as failure:
            k.roll_die(0, sides)
        assert str(failure.value) == U32_RANGE_MESSAGE
    # Beyond 64 bits the first step of the conversion already refuses, with its own message.
    for sides in (2**63, 2**64, -(2**63) - 1):
        with pytest.raises(OverflowError):
            k.roll_die(0, sides)
    with pytest.raises(OverflowError, match=f"^{U32_RANGE_MESSAGE}$"):
        k.roll_dice(0, 2**32, 6)


@pytest.mark.parametrize(
    ("call", "error", "prefix"),
    [
        (lambda: k.band_within(1, "far"), TypeError, "argument 'band': "),
        (lambda: k.band_within("near", b"far"), TypeError, "argument 'max_band': "),
        (lambda: k.band_within("near", None), TypeError, "argument 'max_band': "),
        (lambda: k.band_within("\udc80", "far"), UnicodeEncodeError, ""),
        (lambda: k.hmac_sha256_hex(bytearray(b"k"), "m"), TypeError, "argument 'key': "),
        (lambda: k.hmac_sha256_hex(memoryview(b"k"), "m"), TypeError, "argument 'key': "),
        (lambda: k.world_state_hash("k", b"{}"), TypeError, "argument 'state_json': "),
        (lambda: k.evaluate_action("{}", "{}", "a", b"t"), TypeError, "argument 'target': "),
    ],
)
def test_text_and_key_conversions(call, error, prefix):
    with pytest.raises(error) as failure:
        call()
    assert type(failure.value) is error and str(failure.value).startswith(prefix)


def test_str_and_bytes_subclasses_are_accepted():
    class Name(str):
        pass

    class Key(bytes):
        pass

    assert k.band_within(Name("near"), "far") is True
    assert k.hmac_sha256_hex(Key(b"k"), Name("m")) == k.hmac_sha256_hex(b"k", "m")


class Entry(tuple):
    """A tuple subclass, as a named tuple would be."""


def clearing_entries():
    """Entries whose first id empties the list while it is being converted."""
    entries = []

    class Clearing:
        def __index__(self):
            entries.clear()
            return 1

    entries += [(Clearing(), 0, 0, 0), (2, 0, 0, 0)]
    return entries


@pytest.mark.parametrize(
    ("entries", "error"),
    [
        (None, TypeError),
        ("1234", TypeError),
        (b"\x01\x02\x03\x04", TypeError),
        ({(1, 0, 0, 0): 1}, TypeError),
        (((i, 0, 0, 0) for i in range(3)), TypeError),
        ([[1, 0, 0, 0]], TypeError),
        ([(1, 0, 0)], TypeError),
        ([(1, 0, 0, 0, 0)], TypeError),
        ([(1, 0, 0, 0), None], TypeError),
        ([(1, 0.5, 0, 0)], TypeError),
        ([("1", 0, 0, 0)], TypeError),
        ([(2**63, 0, 0, 0)], OverflowError),
        ([(0, 0, 0, -(2**63) - 1)], OverflowError),
        ([(0, 10**400, 0, 0)], OverflowError),
        (range(10**18), TypeError),
        (clearing_entries(), IndexError),
    ],
)
def test_bad_initiative_entries_raise(entries, error):
    with pytest.raises(error) as failure:
        k.initiative_order_ids(entries)
    if error is TypeError:
        assert str(failure.value).startswith("argument 'entries': ")


def test_initiative_entries_accept_any_sequence_of_tuples():
    assert k.initiative_order_ids(()) == []
    entries = ((Index(5), 1, 1, 1), Entry((-(2**63), 1, 1, 1)), (2**63 - 1, Index(2), 0, 0))
    assert k.initiative_order_ids(entries) == [2**63 - 1, -(2**63), 5]


def module_under_test_is_installed() -> bool:
    installed = {pathlib.Path(sysconfig.get_paths()[kind]).resolve() for kind in ("platlib", "purelib")}
    return pathlib.Path(k.__file__).resolve().parent in installed


@pytest.mark.skipif(
    not module_under_test_is_installed(),
    reason=f"the module under test ({k.__file__}) is not the installed one; `make test` runs this check",
)
def test_installed_module_imports_outside_the_source_tree(tmp_path):
    probe = "import kest_engine_native as k; print(k.__file__); print(k.__version__, k.roll_dice(0, 3, 6))"
    done = subprocess.run(
        [sys.executable, "-I", "-c", probe],
        cwd=tmp_path,
        env={"PATH": os.defpath},
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    location, figures = done.stdout.splitlines()
    module = pathlib.Path(location)
    assert module.resolve() == pathlib.Path(k.__file__).resolve()
    assert module.name == "kest_engine_native.abi3.so"
    assert module.with_name("kest_engine_native.pyi").is_file()
    assert figures == f"{k.__version__} 12"
