"""Call and metadata records."""

import inspect
import pickle

import pytest

from tarnwick_collector.data_collection import invocations
from tarnwick_collector.data_collection.invocations import (
    ExternalFunctionCall,
    ExternalFunctionMetadata,
    FunctionCall,
    FunctionMetadata,
    UserFunctionCall,
    UserFunctionMetadata,
)

TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


def user_meta(signature=None):
    return UserFunctionMetadata("m", "m.f", "h", "/p", ("x",), signature)


def test_class_tree_docstrings_and_identity():
    tree = {
        FunctionMetadata: (object, "This object contains function metadata."),
        ExternalFunctionMetadata: (
            FunctionMetadata, "This impelments FunctionMetadata specific to an ExternalFunction."),
        UserFunctionMetadata: (
            FunctionMetadata, "This impelments FunctionMetadata specific to a UserFunction."),
        FunctionCall: (object, "This object contains function call data."),
        ExternalFunctionCall: (FunctionCall, "This object contains external function call data."),
        UserFunctionCall: (FunctionCall, "This object contains user function call data."),
    }
    for cls, (base, doc) in tree.items():
        assert cls.__bases__ == (base,)
        assert cls.__doc__ == doc
        assert cls.__module__ == invocations.__name__
        assert getattr(invocations, cls.__qualname__) is cls


def test_metadata_attributes_live_in_instance_dict(serializer):
    meta = ExternalFunctionMetadata("mod", "mod.f", False, True)
    assert type(meta) is ExternalFunctionMetadata
    assert vars(meta) == {"is_builtin": False, "is_function_for_recording": True,
                          "module_name": "mod", "full_name": "mod.f"}
    meta.anything = 1  # plain class: freely assignable
    meta.full_name = 3
    assert vars(meta)["full_name"] == 3

    um = UserFunctionMetadata(module_name="m", full_name="m.f", code_hash="h", full_path="/p",
                              co_names=("x",), function_signature=None)
    assert list(vars(um)) == ["code_hash", "full_path", "co_names", "function_signature",
                              "is_async", "module_name", "full_name"]
    assert um.is_async is False
    assert UserFunctionMetadata("m", "m.f", "h", "/p", (), None, True).is_async is True

    # Records pickle the ordinary way, by class reference and __dict__.
    call = UserFunctionCall(um, (1, [2]), {"k": "v"}, {})
    back = pickle.loads(pickle.dumps(call))
    assert type(back) is UserFunctionCall and vars(back).keys() == vars(call).keys()
    assert back.pre_run_args == call.pre_run_args
    assert type(back.function_metadata) is UserFunctionMetadata


@pytest.mark.parametrize("cls, args, param, expected", [
    (FunctionMetadata, (1, "x"), "module_name", "str"),
    (FunctionMetadata, ("x", b"x"), "full_name", "str"),
    (ExternalFunctionMetadata, ("m", 2.0, False, False), "full_name", "str"),
    (UserFunctionMetadata, ("m", "f", 1, "/p", (), None), "code_hash", "str"),
    (UserFunctionMetadata, ("m", "f", "h", ["/p"], (), None), "full_path", "str"),
    (FunctionCall, (None, [1], {}, {}), "args", "tuple"),
    (FunctionCall, (None, (), [], {}), "kwargs", "dict"),
    (UserFunctionCall, (None, (), {}, ()), "globals", "dict"),
])
def test_type_checks_reject_before_any_attribute(serializer, cls, args, param, expected):
    obj = cls.__new__(cls)
    with pytest.raises(TypeError) as err:
        obj.__init__(*args)
    bad = {"module_name": 0, "full_name": 1, "code_hash": 2, "full_path": 3,
           "args": 1, "kwargs": 2, "globals": 3}[param]
    assert str(err.value) == TYPE_MSG.format(param, expected, type(args[bad]).__name__)
    assert vars(obj) == {}
    assert serializer.calls == []


def test_subclasses_rejected_none_accepted(serializer):
    class S(str):
        pass

    class D(dict):
        pass

    with pytest.raises(TypeError, match="expected str, got S"):
        FunctionMetadata(S("m"), "f")
    with pytest.raises(TypeError, match="expected dict, got D"):
        FunctionCall(None, (), D(), {})
    meta = FunctionMetadata(None, None)
    assert meta.module_name is None and meta.full_name is None
    call = FunctionCall(meta, None, None, None)
    assert call.post_run_args is None and call.globals is None


def test_wrong_argument_count_is_a_type_error():
    with pytest.raises(TypeError):
        FunctionMetadata("m")
    with pytest.raises(TypeError):
        UserFunctionMetadata("m", "f", "h", "/p", (), None, False, "extra")
    with pytest.raises(TypeError):
        FunctionMetadata("m", "f", bogus=1)
    with pytest.raises(TypeError):
        FunctionMetadata("m", "f", module_name="again")
    with pytest.raises(TypeError):
        FunctionCall(None, (), {}, {}).serialize_post_run_args_and_kwargs(1)


def test_function_call_keeps_live_arguments_and_serializes_unwrapped(serializer):
    meta = FunctionMetadata("m", "m.f")
    args, kwargs, globs = (), {}, {}
    call = FunctionCall(meta, args, kwargs, globs)
    assert call.function_metadata is meta
    assert call.post_run_args is args and call.post_run_kwargs is kwargs
    assert call.globals is globs
    assert call.pre_run_args == pickle.dumps(()) and call.pre_run_kwargs == pickle.dumps({})
    assert call.return_value is None and call.execption is None
    assert [c[0] for c in serializer.calls] == [args, kwargs]
    assert all(kw == {"object_wrapper": False} for _, kw in serializer.calls)


def test_external_call_starts_empty(serializer):
    call = ExternalFunctionCall(ExternalFunctionMetadata("m", "m.f", False, True))
    assert (call.post_run_args, call.post_run_kwargs, call.globals) == (None, None, None)
    assert (call.return_value, call.execption) == (None, None)
    assert call.pre_run_args == call.pre_run_kwargs == pickle.dumps(None)
    assert not hasattr(call, "external_calls")
    call.add_return_value(return_value=[1, 2])
    assert pickle.loads(call.return_value) == [1, 2]
    call.add_execption(exception=ValueError("boom"))
    exc = pickle.loads(call.execption)
    assert type(exc) is ValueError and exc.args == ("boom",)


def test_pre_and_post_run_arguments_differ_after_mutation(serializer):
    items = [1, 2]
    opts = {"a": 1}
    call = UserFunctionCall(user_meta(), (items,), opts, {})
    items.append(3)
    opts["b"] = 2
    call.serialize_post_run_args_and_kwargs()
    assert pickle.loads(call.pre_run_args) == ([1, 2],)
    assert pickle.loads(call.post_run_args) == ([1, 2, 3],)
    assert pickle.loads(call.pre_run_kwargs) == {"a": 1}
    assert pickle.loads(call.post_run_kwargs) == {"a": 1, "b": 2}
    # A second call serializes the bytes of the first.
    first = call.post_run_args
    call.serialize_post_run_args_and_kwargs()
    assert pickle.loads(call.post_run_args) == first


def test_user_call_serializes_shared_signature_in_place(serializer):
    spec = inspect.getfullargspec(lambda a, b=2: None)
    meta = user_meta(spec)
    call = UserFunctionCall(meta, (1,), {}, {})
    assert call.external_calls == [] and call.awaited_functions == []
    assert call.external_calls is not call.awaited_functions
    assert meta.function_signature == pickle.dumps(spec)
    assert serializer.calls[-1] == (spec, {"object_wrapper": False})
    UserFunctionCall(meta, (), {}, {})  # reused metadata: bytes serialized again
    assert pickle.loads(meta.function_signature) == pickle.dumps(spec)
    assert list(vars(call))[:2] == ["external_calls", "awaited_functions"]
    assert not hasattr(call, "unknown_modules")


class Boom(Exception):
    pass


class FailingSerializer:
    def __init__(self, fail_on):
        self.fail_on = fail_on

    def serialize(self, obj, object_wrapper=True):
        if obj is self.fail_on:
            raise Boom("cannot")
        return b"ok"


def test_serializer_failure_leaves_earlier_attributes(monkeypatch):
    from tarnwick_collector.configs.collector_settings import CollectorSettings

    args = (1,)
    monkeypatch.setattr(CollectorSettings, "serializer", FailingSerializer(args))
    call = FunctionCall.__new__(FunctionCall)
    with pytest.raises(Boom):
        call.__init__(None, args, {}, {})
    assert set(vars(call)) == {"function_metadata", "post_run_args", "post_run_kwargs"}

    # The serializer is looked up at every use, never cached.
    monkeypatch.setattr(CollectorSettings, "serializer", FailingSerializer(None))
    call = FunctionCall(None, (), {}, {})
    assert call.pre_run_args == b"ok"
    with pytest.raises(Boom):
        call.add_return_value(None)
    assert call.return_value is None
