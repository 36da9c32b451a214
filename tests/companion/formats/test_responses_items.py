"""Every item the Responses API returns in a response's ``output`` or takes in its ``input``
is read as Responses when the format is detected. The items are built from the ``openai``
SDK's own types: each field's value is drawn from its annotation, and the SDK's validation
(the output models', and the input union's through pydantic) accepts every item built."""
import functools
import typing

import pytest

for _sdk in ("openai", "pydantic", "hypothesis"):
    pytest.importorskip(_sdk)

import pydantic  # noqa: E402
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from openai.types.responses import (ResponseInputItemParam,  # noqa: E402
                                    ResponseOutputItem)

from morvex_summarize.formats import read_conversation  # noqa: E402

try:
    from typing import NotRequired, Required
except ImportError:  # Python 3.10
    from typing_extensions import NotRequired, Required

DEPTH = 4


def members(union):
    """The types of a (possibly annotated) union."""
    if typing.get_origin(union) is typing.Annotated:
        union = typing.get_args(union)[0]
    return typing.get_args(union)


def is_model(kind):
    return isinstance(kind, type) and issubclass(kind, pydantic.BaseModel)


def is_typed_dict(kind):
    return isinstance(kind, type) and issubclass(kind, dict) and hasattr(kind, "__required_keys__")


@functools.lru_cache(maxsize=None)
def value_of(kind, depth):
    """A strategy for values of an annotation, as the SDK declares it."""
    origin = typing.get_origin(kind)
    args = typing.get_args(kind)
    if origin is typing.Annotated or origin in (Required, NotRequired):
        return value_of(args[0], depth)
    if origin is typing.Literal:
        return st.sampled_from(args)
    if origin is typing.Union or type(kind).__name__ == "UnionType":
        return st.one_of([value_of(a, depth) for a in args])
    if kind is type(None):
        return st.none()
    if kind is str:
        return st.text(max_size=12)
    if kind is bool:
        return st.booleans()
    if kind is int:
        return st.integers(0, 10_000)
    if kind is float:
        return st.floats(0, 1)
    if kind in (object, typing.Any):
        return st.one_of(st.none(), st.text(max_size=8), st.integers(0, 9))
    if origin in (list, typing.List, tuple) or (
            origin is not None and getattr(origin, "__name__", "") in ("Iterable", "Sequence")):
        if depth <= 0:
            return st.just([])
        return st.lists(value_of(args[0], depth - 1), max_size=2)
    if origin in (dict, typing.Dict) or kind is dict:
        return st.dictionaries(st.text(max_size=5), st.text(max_size=5), max_size=2)
    if is_model(kind):
        return model_of(kind, depth - 1)
    if is_typed_dict(kind):
        return typed_dict_of(kind, depth - 1)
    alias = getattr(kind, "__value__", None)  # a ``type`` statement's alias
    if alias is not None:
        return value_of(alias, depth)
    raise AssertionError(f"no values for {kind!r}")


@functools.lru_cache(maxsize=None)
def model_of(model, depth=DEPTH):
    """An instance of a pydantic model of the SDK, validated by the model itself."""
    fields = {}
    for name, info in model.model_fields.items():
        values = value_of(info.annotation, depth)
        fields[name] = values if info.is_required() else st.one_of(st.just(OMIT), values)
    return st.fixed_dictionaries(fields).map(
        lambda d: model.model_validate({k: v for k, v in d.items() if v is not OMIT}))


@functools.lru_cache(maxsize=None)
def typed_dict_of(shape, depth=DEPTH):
    """A dict of one of the SDK's request parameter shapes."""
    hints = typing.get_type_hints(shape, include_extras=True)
    # The SDK's shapes are total=False with Required[...] marks, which
    # __required_keys__ does not always reflect.
    required = {k for k, v in hints.items()
                if k in shape.__required_keys__ and typing.get_origin(v) is not NotRequired
                or typing.get_origin(v) is Required}
    fields = {k: value_of(v, depth) if k in required else st.one_of(st.just(OMIT),
                                                                     value_of(v, depth))
              for k, v in hints.items()}
    return st.fixed_dictionaries(fields).map(
        lambda d: {k: v for k, v in d.items() if v is not OMIT})


OMIT = object()
OUTPUT_TYPES = members(ResponseOutputItem)
INPUT_TYPES = members(ResponseInputItemParam)
INPUT_CHECK = pydantic.TypeAdapter(ResponseInputItemParam)


def test_the_sdk_has_the_item_types_this_test_builds():
    """Guards the builder: a new SDK whose unions this test cannot see fails here."""
    assert len(OUTPUT_TYPES) > 20 and len(INPUT_TYPES) > 20
    assert all(is_model(k) for k in OUTPUT_TYPES) and all(is_typed_dict(k) for k in INPUT_TYPES)


OPENING = {"role": "user", "content": [{"type": "input_text", "text": "hi"}]}


def as_read(items):
    """The items as objects of the SDK and as the dicts they dump to: both are read."""
    return (items, [i.model_dump(exclude_none=True) if isinstance(i, pydantic.BaseModel)
                    else i for i in items])


@pytest.mark.parametrize("kind", OUTPUT_TYPES, ids=lambda k: k.__name__)
@given(data=st.data())
def test_every_output_item_type_is_read_as_responses(kind, data):
    item = data.draw(model_of(kind))
    for items in as_read([OPENING, item]):
        assert read_conversation(items).format == "responses"


@given(st.lists(st.one_of([model_of(k) for k in OUTPUT_TYPES]), min_size=1, max_size=6))
def test_a_whole_output_is_read_as_responses(output):
    for items in as_read([OPENING, *output]):
        assert read_conversation(items).format == "responses"
        assert read_conversation({"input": items}).format == "responses"


@pytest.mark.parametrize("kind", INPUT_TYPES, ids=lambda k: k.__name__)
@given(data=st.data())
def test_every_input_item_type_is_read_as_responses(kind, data):
    item = data.draw(typed_dict_of(kind))
    INPUT_CHECK.validate_python(item)
    assert read_conversation([OPENING, item]).format == "responses"
    assert read_conversation({"input": [item]}).format == "responses"
