"""ombrix._ombrix: pickling and copying of the model wrapper _LMFunc."""

import copy
import pickle

import pytest

from ombrix import _ombrix

LMFunc = _ombrix._LMFunc
unpickle = _ombrix.__pyx_unpickle__LMFunc
CHECKSUM = 0xc2e87f6


def model(p, *args):  # picklable by reference
    return p


def jacobian(p, *args):
    return p


class Sub(LMFunc):
    pass


def state(obj):
    """The fields (args, func, jacf[, instance dict]) as the object pickles them."""
    value = obj.__reduce__()
    return value[2] if len(value) == 3 else value[1][2]


@pytest.mark.parametrize("obj, expected", [
    (LMFunc(model, (1, 2), None), (unpickle, (LMFunc, CHECKSUM, None), ((1, 2), model, None))),
    (LMFunc(None, None, jacobian), (unpickle, (LMFunc, CHECKSUM, None), (None, None, jacobian))),
    (LMFunc.__new__(LMFunc), (unpickle, (LMFunc, CHECKSUM, (None, None, None)))),
    (Sub.__new__(Sub), (unpickle, (Sub, CHECKSUM, (None, None, None)))),
])
def test_reduce_value(obj, expected):
    assert obj.__reduce__() == expected
    assert obj.__reduce_ex__(2) == expected


def test_reduce_with_an_instance_dict():
    obj = Sub.__new__(Sub)
    assert obj.__reduce__() == (unpickle, (Sub, CHECKSUM, (None, None, None)))  # empty dict: not part of the state
    obj.tag = "x"
    assert obj.__reduce__() == (unpickle, (Sub, CHECKSUM, None), (None, None, None, {"tag": "x"}))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("cls", [LMFunc, Sub])
def test_pickle_round_trip(protocol, cls):
    obj = cls(model, (1, 2.5, "three"), jacobian)
    again = pickle.loads(pickle.dumps(obj, protocol))
    assert type(again) is cls and again is not obj
    assert state(again) == ((1, 2.5, "three"), model, jacobian)


def test_subclass_keeps_its_attributes():
    obj = Sub(model, (), None)
    obj.label, obj.weights = "decay", [1, 2]
    again = pickle.loads(pickle.dumps(obj))
    assert type(again) is Sub and again.label == "decay" and again.weights == [1, 2]
    assert state(again)[:3] == ((), model, None)


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
def test_copies(duplicate):
    args = ([1, 2],)
    obj = Sub(model, args, None)
    obj.note = "n"
    dup = duplicate(obj)
    assert type(dup) is Sub and dup.note == "n"
    assert (state(dup)[0] is args) == (duplicate is copy.copy)
    assert state(dup)[0] == args


@pytest.mark.parametrize("checksum", [0xc2e87f6, 0xbc87515, 0xc147546])
def test_unpickle_accepts_the_three_checksums(checksum):
    obj = unpickle(LMFunc, checksum, None)
    assert type(obj) is LMFunc and state(obj) == (None, None, None)
    obj = unpickle(__pyx_state=((1,), model, None), __pyx_checksum=checksum, __pyx_type=Sub)
    assert type(obj) is Sub and state(obj) == ((1,), model, None)


@pytest.mark.parametrize("checksum, text", [
    (1, "0x1"), (0xc2e87f7, "0xc2e87f7"), (-5, "0x-5"), (2.9, "0x2"),
])
def test_unpickle_refuses_other_checksums(checksum, text):
    with pytest.raises(pickle.PickleError) as raised:
        unpickle(LMFunc, checksum, None)
    assert str(raised.value) == f"Incompatible checksums ({text} vs (0xc2e87f6, 0xbc87515, 0xc147546) = " \
                                "(args, func, jacf))"


@pytest.mark.parametrize("args, error, message", [
    ((LMFunc, CHECKSUM, [None, None, None]), TypeError,
     r"^Argument '__pyx_state' has incorrect type \(expected tuple, got list\)$"),
    ((LMFunc, "0xc2e87f6", None), TypeError, "^an integer is required$"),
    ((LMFunc, 2 ** 70, None), OverflowError, "^value too large to convert to long$"),
    ((int, CHECKSUM, None), TypeError, "is not a subtype of"),
    ((5, CHECKSUM, None), TypeError, "is not a type object"),
    ((LMFunc, CHECKSUM, (1, 2)), IndexError, "tuple index out of range"),
    ((LMFunc, CHECKSUM, (1, 2, 3, {"a": 1})), AttributeError, "__dict__"),
])
def test_unpickle_errors(args, error, message):
    with pytest.raises(error, match=message):
        unpickle(*args)


def test_setstate():
    obj = Sub.__new__(Sub)
    assert obj.__setstate__((1, 2, 3, {"a": 1}, "ignored")) is None
    assert state(obj) == (1, 2, 3, {"a": 1})
    obj.__setstate__((4, 5, 6, {}))  # an empty dict changes nothing
    assert state(obj) == (4, 5, 6, {"a": 1})


def test_setstate_assigns_fields_until_an_element_is_missing():
    obj = LMFunc(model, (), jacobian)
    with pytest.raises(IndexError):
        obj.__setstate__(("a",))
    assert state(obj) == ("a", model, jacobian)


class TupleSub(tuple):
    pass


@pytest.mark.parametrize("argument, message", [
    (None, r"^cannot pass None into a C function argument that is declared 'not None'$"),
    ([1, 2, 3], r"^Expected tuple, got list$"),
    (TupleSub((1, 2, 3)), r"^Expected tuple, got TupleSub$"),
])
def test_setstate_wants_a_tuple(argument, message):
    with pytest.raises(TypeError, match=message):
        LMFunc.__new__(LMFunc).__setstate__(argument)


def test_reduce_looks_up_the_unpickling_function(monkeypatch):
    monkeypatch.delattr(_ombrix, "__pyx_unpickle__LMFunc")
    with pytest.raises(NameError, match="__pyx_unpickle__LMFunc"):
        LMFunc(model, (), None).__reduce__()


def test_unpicklable_model_fails_the_pickle():
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pickle.dumps(LMFunc(lambda p: p, (), None))
