"""A plain Python statement of how `sim` and `sim_batch` read their
arguments, for comparison with the module on arbitrary objects.

Each step calls the same Python-level hooks (__len__, __getitem__, __iter__,
__float__, __index__) in the same order as the module, and builds the
module's own exceptions itself, so that an argument gives the same value or
the same exception type and message here as there. The scores of converted
plans come from `sim` on exact lists of floats, which read no Python code.
"""
import ctypes
import operator

from zorv_fast import sim

PLAN_SIZE = 40
UNKNOWN_TYPE_NAME = "<failed to extract type name>"


class Rejected(Exception):
    """The exception the module raises, described by type, message and the
    cause a prefixed TypeError keeps."""

    def __init__(self, kind, message, cause=None):
        super().__init__(kind, message)
        self.kind, self.message, self.cause = kind, message, cause


def type_qualname(obj):
    try:
        name = type(obj).__qualname__
    except BaseException:
        return UNKNOWN_TYPE_NAME
    return name if isinstance(name, str) else UNKNOWN_TYPE_NAME


_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.restype = ctypes.c_int


def is_sequence(obj):
    """The interpreter's sequence check: the type has an item slot and is no
    dict. A class gets that slot from __getitem__, but for builtin types only
    the interpreter knows (a NumPy scalar can be indexed and is no sequence),
    so the interpreter is asked."""
    # Wrapped by hand: ctypes' own argument check would ask obj.__class__.
    return _sequence_check(ctypes.py_object(obj)) == 1


def not_a_sequence(obj):
    return TypeError(f"'{type_qualname(obj)}' object cannot be converted to 'Sequence'")


def as_double(item):
    """The interpreter's float conversion of one plan item."""
    kind = type(item)  # the real type, as everywhere here
    if issubclass(kind, float):
        return float.__float__(item)  # the stored value, whatever a subclass says
    if hasattr(kind, "__float__"):
        result = kind.__float__(item)
        if not issubclass(type(result), float):
            raise TypeError(f"{kind.__name__}.__float__ returned non-float "
                            f"(type {type(result).__name__})")
        return float.__float__(result)
    if hasattr(kind, "__index__"):
        return float(operator.index(item))
    raise TypeError(f"must be real number, not {kind.__name__}")


def convert_plan(obj):
    """The 40 doubles of one plan, or the error raised while reading it."""
    if not is_sequence(obj):
        raise not_a_sequence(obj)
    length = len(obj)
    if length != PLAN_SIZE:
        raise ValueError(f"expected a sequence of length 40 (got {length})")
    return [as_double(obj[i]) for i in range(PLAN_SIZE)]


def convert_plan_list(obj):
    try:
        is_str = isinstance(obj, str)
    except BaseException:
        is_str = False
    if is_str:
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(obj):
        raise not_a_sequence(obj)
    try:
        len(obj)  # only a hint; its own code still runs
    except BaseException:
        pass
    return [convert_plan(element) for element in iter(obj)]


def reported(error, parameter):
    """What the caller sees of an error raised while converting `parameter`."""
    if type(error) is TypeError:
        cause = error.__cause__
        return Rejected(TypeError, f"argument '{parameter}': {error}",
                        None if cause is None else (type(cause), str(cause)))
    return Rejected(type(error), str(error))


def expected_sim(plan):
    """The float `sim(plan)` returns, or the Rejected it raises."""
    try:
        values = convert_plan(plan)
    except BaseException as error:  # noqa: B036 - the module passes every error on
        return reported(error, "plan")
    return sim(values)


def expected_sim_batch(plans):
    try:
        values = convert_plan_list(plans)
    except BaseException as error:  # noqa: B036
        return reported(error, "plans")
    return [sim(v) for v in values]
