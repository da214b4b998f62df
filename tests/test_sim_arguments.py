"""Binding and conversion of the argument of `sim`: what is accepted, what
is rejected with which exception and message, and that nothing leaks."""
import array
import gc
import sys

import pytest

from zorv_fast import sim, sim_batch

ZEROS_SCORE = 1.9828948004369278


class RaisingLen:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        return 0.0


class BadItems:
    """A sequence of 40 whose item `bad_index` raises on access."""

    def __init__(self, error, bad_index=3):
        self.error, self.bad_index, self.fetched = error, bad_index, []

    def __len__(self):
        return 40

    def __getitem__(self, i):
        self.fetched.append(i)
        if i == self.bad_index:
            raise self.error
        return 0.0


class FloatRaising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


def message_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda: sim([0.0] * 40, [0.0] * 40), "sim() takes 1 positional arguments but 2 were given"),
    (lambda: sim(1, 2, 3), "sim() takes 1 positional arguments but 3 were given"),
    (lambda: sim(1, 2, plan=3), "sim() takes 1 positional arguments but 2 were given"),
    (lambda: sim([0.0] * 40, plan=[0.0] * 40), "sim() got multiple values for argument 'plan'"),
    (lambda: sim(plans=[0.0] * 40), "sim() got an unexpected keyword argument 'plans'"),
    (lambda: sim(plan=[0.0] * 40, extra=1), "sim() got an unexpected keyword argument 'extra'"),
    (lambda: sim(), "sim() missing 1 required positional argument: 'plan'"),
    (lambda: sim(**{"pl\udc80an": 1}), "sim() got an unexpected keyword argument 'pl\udc80an'"),
])
def test_binding_errors(call, message):
    assert message_of(call) == (TypeError, message)


@pytest.mark.parametrize("plan, type_name", [
    (None, "NoneType"), (3, "int"), (2.5, "float"), ({}, "dict"), (set(), "set"),
    ((x for x in range(40)), "generator"), (RaisingLen.__init__, "function"),
    ({i: 0.0 for i in range(40)}, "dict"),
])
def test_non_sequences_name_their_type(plan, type_name):
    assert message_of(lambda: sim(plan)) == (
        TypeError, f"argument 'plan': '{type_name}' object cannot be converted to 'Sequence'")


def test_nested_class_qualname_in_message():
    class Outer:
        class Inner:
            pass
    _, message = message_of(lambda: sim(Outer.Inner()))
    assert message == ("argument 'plan': 'test_nested_class_qualname_in_message.<locals>."
                       "Outer.Inner' object cannot be converted to 'Sequence'")


@pytest.mark.parametrize("length", [0, 1, 39, 41, 400])
def test_wrong_lengths(length):
    assert message_of(lambda: sim([0.0] * length)) == (
        ValueError, f"expected a sequence of length 40 (got {length})")


def test_strings():
    kind, message = message_of(lambda: sim("x" * 40))
    assert kind is TypeError and message.startswith("argument 'plan': ")
    assert message == "argument 'plan': must be real number, not str"
    assert message_of(lambda: sim("x" * 7)) == (ValueError, "expected a sequence of length 40 (got 7)")


def test_length_errors_pass_through_with_prefix_only_for_type_error():
    assert message_of(lambda: sim(RaisingLen(TypeError("no len")))) == (
        TypeError, "argument 'plan': no len")
    assert message_of(lambda: sim(RaisingLen(KeyError("k")))) == (KeyError, "'k'")
    assert message_of(lambda: sim(RaisingLen(TypeErrorSubclass("sub")))) == (TypeErrorSubclass, "sub")


def test_item_errors_stop_at_the_first_bad_item():
    items = BadItems(IndexError("gone"))
    assert message_of(lambda: sim(items)) == (IndexError, "gone")
    assert items.fetched == [0, 1, 2, 3]
    assert message_of(lambda: sim(BadItems(TypeError("bad item")))) == (
        TypeError, "argument 'plan': bad item")


def test_float_conversion_errors():
    assert message_of(lambda: sim([0.0] * 39 + [10 ** 400])) == (
        OverflowError, "int too large to convert to float")
    assert message_of(lambda: sim([0.0] * 39 + [FloatRaising(ValueError("v"))])) == (ValueError, "v")
    assert message_of(lambda: sim([0.0] * 39 + [None])) == (
        TypeError, "argument 'plan': must be real number, not NoneType")
    assert message_of(lambda: sim([FloatRaising(TypeErrorSubclass("s"))] + [0.0] * 39)) == (
        TypeErrorSubclass, "s")


def test_float_returning_minus_one_is_a_value_not_an_error():
    class MinusOne:
        def __float__(self):
            return -1.0
    assert sim([MinusOne()] * 40) == sim([-1.0] * 40) == 2.895094681507079


def test_prefixed_type_error_keeps_only_the_original_cause():
    root = KeyError("root")
    with_cause = TypeError("inner")
    with_cause.__cause__ = root
    with pytest.raises(TypeError) as info:
        sim([FloatRaising(with_cause)] * 40)
    assert str(info.value) == "argument 'plan': inner"
    assert info.value is not with_cause
    assert info.value.__cause__ is root
    assert info.value.__suppress_context__ is True
    assert info.value.__context__ is None

    with pytest.raises(TypeError) as info:
        sim([FloatRaising(TypeError("plain"))] * 40)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True
    assert info.value.__context__ is None


@pytest.mark.parametrize("plan", [
    [0.0] * 40, tuple([0.0] * 40), range(40), array.array("d", [0.0] * 40),
    array.array("i", range(40)), bytes(40), bytearray(40), [False] * 40, [True] * 40,
    [0] * 40,
], ids=lambda p: type(p).__name__)
def test_valid_plans(plan):
    expected = sim([float(v) for v in plan])
    assert sim(plan) == expected
    assert sim(plan=plan) == expected


def test_plan_kinds_give_the_scores_of_their_values():
    assert sim(bytes(40)) == sim(bytearray(40)) == sim([False] * 40) == ZEROS_SCORE
    assert sim([True] * 40) == sim([1.0] * 40)
    assert sim(range(40)) == sim([0.0] + [1.0] * 39)  # every value from 1 on clamps to 1.0


def test_argument_is_never_modified():
    plan = [0.0] * 40
    plan[10] = 7.5
    plan[3] = float("nan")
    before = list(plan)
    sim(plan)
    assert plan[10] == 7.5 and plan[3] != plan[3]
    assert plan[:3] + plan[4:] == before[:3] + before[4:]
    values = array.array("d", plan)
    sim(values)
    assert values[10] == 7.5


FAILING_CALLS = [
    ("two positional", lambda a: sim(a, a)),
    ("multiple values", lambda a: sim(a, plan=a)),
    ("unexpected keyword", lambda a: sim(plans=a)),
    ("not a sequence", lambda a: sim({"a": a})),
    ("wrong length", lambda a: sim([a] * 39)),
    ("bad item", lambda a: sim([a] * 39 + ["x"])),
    ("overflow", lambda a: sim([a] * 39 + [10 ** 400])),
    ("raising float", lambda a: sim([a] * 39 + [FloatRaising(TypeError("t"))])),
    ("batch str", lambda a: sim_batch("abc")),
    ("batch bad element", lambda a: sim_batch([[0.0] * 40, [a] * 39])),
]


@pytest.mark.parametrize("name, call", FAILING_CALLS, ids=[n for n, _ in FAILING_CALLS])
def test_failing_calls_release_their_references(name, call):
    argument = object.__new__(type("Marker", (), {"__float__": lambda self: 0.0}))
    call_with = lambda: call(argument)  # noqa: E731
    for _ in range(10):
        with pytest.raises(BaseException):
            call_with()
    # Exceptions raised in Python code form cycles through their tracebacks;
    # only what survives a collection counts.
    gc.collect()
    before = sys.getrefcount(argument)
    for _ in range(2000):
        try:
            call_with()
        except BaseException:
            pass
    gc.collect()
    assert sys.getrefcount(argument) == before
