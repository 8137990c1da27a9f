"""The messages of the amplification functions' binding and acceptance rules, as the tests expect
them: one table, written out here once, that every test of those rules reads.

The binder's messages are CPython's own for a function of three positional-or-keyword
parameters; an argument that is not a 1-D float64 ndarray is refused with the type check's
message and a note naming the parameter.
"""

PARAMETERS = ("vs30_py", "vs30_sim_py", "pga_py")

MESSAGES = {
    "too many": "{function}() takes 3 positional arguments but {given} were given",
    "unexpected keyword": "{function}() got an unexpected keyword argument '{name}'",
    "given twice": "{function}() got multiple values for argument '{name}'",
    # by the number of parameters missing, named in parameter order
    "missing 1": "{function}() missing 1 required positional argument: '{0}'",
    "missing 2": "{function}() missing 2 required positional arguments: '{0}' and '{1}'",
    "missing 3": "{function}() missing 3 required positional arguments: '{0}', '{1}', and '{2}'",
    "refused": "'{type}' object is not an instance of 'ndarray'",
    "refused None": "'None' is not an instance of 'ndarray'",
    "refused note": "while processing '{parameter}'",
    "lengths differ": "vs30, vs30_sim, and pga arrays must have the same length",
}


def message(kind, *names, **fields):
    """MESSAGES[kind] with its fields filled in."""
    return MESSAGES[kind].format(*names, **fields)


def missing(function, names):
    """The message for the parameters `names` (in parameter order) left without a value."""
    return message(f"missing {len(names)}", *names, function=function)


def refused(obj):
    """The message refusing obj as an argument, by its type's qualified name."""
    return message("refused None") if obj is None else message("refused", type=type(obj).__qualname__)


def refused_note(parameter):
    return message("refused note", parameter=parameter)
