"""Hostile inputs for every public callable: random nested values, tool calls of every
shape, replies fenced and not, astral characters and lone surrogates, and objects whose
protocol methods raise, return the wrong type, re-enter the module or mutate what is
being read. The module must end each case as the plain-Python twin in benchmarks/twin.py does:
the same result or the same exception, after the same calls into the inputs, and never
a SystemError. Huge and deeply nested inputs only have to end cleanly."""
import json
import sys
import time
import types

import pytest
from benchmarks import twin
from driver_support import Reply, handoff
from hypothesis import event, given
from hypothesis import strategies as st

METHODS = ("get", "__getitem__", "__eq__", "__hash__", "__str__", "__format__", "__len__",
           "__iter__", "__bool__")
BEHAVIOURS = ("raise", "wrong", "reenter", "mutate")


class Boom(Exception):
    pass


class Unbool:
    def __bool__(self):
        raise Boom("truth")


WRONG = {"get": 5, "__getitem__": 5, "__eq__": Unbool(), "__hash__": "h", "__str__": 5,
         "__format__": 5, "__len__": "n", "__iter__": 5, "__bool__": "b"}


class Case:
    """What hostile objects of one run do when their plan says so: the calls they log,
    the module call they make to re-enter it, and the container they mutate."""

    def __init__(self, mod):
        self.mod, self.log, self.target, self.mutations = mod, [], None, 0

    def reenter(self):
        self.mod._brief_args({"re": "entered"})
        self.mod._format_messages_for_summary([{"role": "user", "content": "again"}])

    def mutate(self):
        self.mutations += 1
        if self.mutations > 3:
            return
        if isinstance(self.target, list):
            self.target.append({"role": "user", "content": "late"})
        elif isinstance(self.target, dict):
            self.target.pop(next(iter(self.target))) if self.target else self.target.update(x=1)


class H:
    """Behaves as its base value except where its plan makes a method misbehave."""

    def __init__(self, case, tag, base, plan):
        self._case, self._tag, self._base, self._plan = case, tag, base, plan

    def _act(self, method, normal):
        self._case.log.append((self._tag, method))
        how = self._plan.get(method)
        if how == "raise":
            raise Boom(f"{self._tag}.{method}")
        if how == "wrong":
            return WRONG[method]
        if how == "reenter":
            self._case.reenter()
        elif how == "mutate":
            self._case.mutate()
        return normal()

    def get(self, key, *default):
        return self._act("get", lambda: self._base.get(key, *default))

    def __getitem__(self, key):
        return self._act("__getitem__", lambda: self._base[key])

    def __eq__(self, other):
        return self._act("__eq__", lambda: self._base == other)

    def __hash__(self):
        return self._act("__hash__", lambda: hash(self._base))

    def __str__(self):
        return self._act("__str__", lambda: str(self._base))

    def __format__(self, spec):
        return self._act("__format__", lambda: format(self._base, spec))

    def __len__(self):
        return self._act("__len__", lambda: len(self._base))

    def __iter__(self):
        return self._act("__iter__", lambda: iter(self._base))

    def __bool__(self):
        return self._act("__bool__", lambda: bool(self._base))


# Recipes are plain data with Spec nodes where a hostile object goes; build() makes
# fresh objects from a recipe, so the module and the twin each get their own.
Spec = types.SimpleNamespace


def build(case, recipe, tag="v"):
    if isinstance(recipe, Spec):
        return H(case, tag, build(case, recipe.base, tag + "."), recipe.plan)
    if isinstance(recipe, list):
        return [build(case, item, f"{tag}[{i}]") for i, item in enumerate(recipe)]
    if isinstance(recipe, tuple):
        return tuple(build(case, item, f"{tag}({i})") for i, item in enumerate(recipe))
    if isinstance(recipe, dict):
        return {k: build(case, v, f"{tag}.{k}") for k, v in recipe.items()}
    return recipe


def norm(value):
    """A comparable form of a result: hostile objects by their tag, times erased."""
    if type(value) is H:
        return ("H", value._tag)
    if type(value) is dict:
        return {k: None if k == "created_at" and type(v) is float else norm(v)
                for k, v in value.items()}
    if type(value) in (list, tuple):
        return type(value)(norm(v) for v in value)
    return value


def outcome(fn):
    try:
        return ("result", norm(fn()))
    except SystemError:
        raise
    except BaseException as exc:  # noqa: B036
        assert not isinstance(exc, SystemError)
        return (type(exc).__name__, str(exc))


def agree(mod, call_module, call_twin, recipe, target=None):
    """Runs the module and the twin on fresh inputs built from `recipe`."""
    runs = []
    for call in (call_module, call_twin):
        case = Case(mod)
        value = build(case, recipe)
        case.target = value if target is None else target(value)
        runs.append((outcome(lambda: call(value)), case.log))
    assert runs[0] == runs[1]
    event(runs[0][0][0])
    return runs[0][0]


# ---------------------------------------------------------------------------------
# Strategies

chars = st.one_of(st.characters(), st.integers(0xD800, 0xDFFF).map(chr),
                  st.integers(0x10000, 0x10FFFF).map(chr), st.sampled_from("`\n\r {}[]\":,"))
texts = st.one_of(st.text(chars, max_size=12), st.text(chars, min_size=95, max_size=105),
                  st.text(chars, min_size=195, max_size=205))
long_texts = st.text(chars, min_size=495, max_size=505)
plans = st.dictionaries(st.sampled_from(METHODS), st.sampled_from(BEHAVIOURS), min_size=1,
                        max_size=2)
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), texts)
plain = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(st.text(chars, max_size=4), inner, max_size=3),
    st.tuples(inner)), max_leaves=8)


def hostile(base):
    return st.builds(Spec, base=base, plan=plans)


values = st.one_of(plain, hostile(plain), hostile(texts))
json_values = st.recursive(st.one_of(st.none(), st.booleans(), st.integers(), texts),
                           lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                   st.dictionaries(texts, inner, max_size=3)),
                           max_leaves=6)
argument_dicts = st.dictionaries(st.one_of(texts, st.integers()), values, max_size=4)
arguments = st.one_of(
    argument_dicts, json_values.map(json.dumps),
    st.dictionaries(st.text(max_size=4), json_values, max_size=3).map(json.dumps), texts,
    values)
functions = st.one_of(st.fixed_dictionaries({}, optional={"name": values, "arguments": arguments}),
                      st.none(), values)
tool_call = st.one_of(
    st.fixed_dictionaries({}, optional={"name": values, "arguments": arguments,
                                        "function": functions, "id": texts}),
    hostile(st.fixed_dictionaries({"name": texts, "arguments": arguments})), values)
tool_calls = st.one_of(st.lists(tool_call, max_size=3), st.lists(tool_call, max_size=3).map(tuple),
                       hostile(st.lists(tool_call, max_size=2)), texts, st.none(), values)
roles = st.one_of(st.sampled_from(["user", "assistant", "tool", "system", "other"]), values,
                  hostile(st.sampled_from(["user", "assistant", "tool"])))
record_fields = st.fixed_dictionaries({}, optional={
    "role": roles, "content": st.one_of(values, long_texts), "tool_call_id": values,
    "tool_calls": tool_calls})
records = st.one_of(record_fields, hostile(record_fields), values)
message_lists = st.lists(records, max_size=5)


@st.composite
def replies(draw):
    body = draw(st.one_of(json_values.map(json.dumps),
                          st.dictionaries(st.sampled_from(twin.KEYS), json_values,
                                          max_size=5).map(json.dumps),
                          texts, long_texts))
    fence = twin.FENCE
    shape = draw(st.sampled_from(["bare", "fenced", "unclosed", "prose", "inline", "padded"]))
    tag = draw(st.sampled_from(["", "json", " json ", fence]))
    return {"bare": body, "fenced": f"{fence}{tag}\n{body}\n{fence}\ntrailer",
            "unclosed": f"{fence}{tag}\n{body}", "prose": f"Here:\n{fence}\n{body}\n{fence}",
            "inline": f"{fence}{body}{fence}", "padded": f"\n \t{fence}{tag}\r\n{body}\n  {fence}  "
            }[shape]


summaries = st.dictionaries(st.one_of(st.sampled_from(twin.KEYS), texts), values, max_size=9)


# ---------------------------------------------------------------------------------
# Property tests: the module agrees with its twin


@given(args=argument_dicts)
def test_brief_args(mod, args):
    agree(mod, mod._brief_args, twin.brief_args, args)


@given(messages=message_lists)
def test_transcript(mod, messages):
    agree(mod, mod._format_messages_for_summary, twin.format_messages, messages)


@given(messages=message_lists)
def test_fallback_summary(mod, messages):
    agree(mod, mod._fallback_summary, twin.fallback, messages)


@given(text=st.one_of(replies(), texts))
def test_parse_summary(mod, text, quiet_logger):
    agree(mod, mod._parse_summary, twin.parse, text)


@given(summary=summaries)
def test_context(mod, summary):
    render = mod.ConversationSummarizer(None).format_summary_for_context
    agree(mod, render, twin.context, summary)


@given(value=st.one_of(values, message_lists, argument_dicts))
def test_typed_parameters_refuse_other_types(mod, value):
    """Every callable refuses what is not exactly its type, and accepts it otherwise."""
    callables = [(mod._brief_args, twin.brief_args), (mod._parse_summary, twin.parse),
                 (mod._fallback_summary, twin.fallback),
                 (mod._format_messages_for_summary, twin.format_messages),
                 (mod.ConversationSummarizer(None).format_summary_for_context, twin.context)]
    for native, python in callables:
        agree(mod, native, python, value)
    first, second = mod._empty_summary(), mod._empty_summary()
    assert tuple(first) == twin.KEYS and first["goals"] is not second["goals"]


@pytest.fixture
def quiet_logger(mod, monkeypatch):
    log = []
    monkeypatch.setattr(mod, "logger", types.SimpleNamespace(
        warning=log.append, error=log.append))
    return log


class Client:
    def __init__(self, case, reply, mode):
        self.case, self.reply, self.mode, self.calls = case, reply, mode, []

    def complete(self, **kwargs):
        self.calls.append(kwargs)
        if self.mode == "raise":
            raise Boom("client")
        if self.mode == "not awaitable":
            return {"content": "x"}
        return self.respond()

    async def respond(self):
        await handoff()
        return Reply(self.reply) if self.mode == "reply" else self.reply


USER_TEXT = "Summarize the conversation above. Return ONLY the JSON object."


async def summarize_twin(mod, log, client, messages, existing):
    """The summarize body, written as the agent's own Python would be."""
    if not messages:
        return mod._empty_summary()
    conv_text = twin.format_messages(messages)
    prompt = [mod.SUMMARIZE_PROMPT]
    if existing:
        prompt.append(f"\n\n## Previous Summary (build on this):\n{existing}")
    prompt.append(f"\n\n## Conversation to Summarize:\n{conv_text}")
    try:
        response = await client.complete(messages=[
            {"role": "system", "content": "\n".join(prompt)},
            {"role": "user", "content": USER_TEXT}], max_tokens=2048)
        if response.content:
            return twin.parse(response.content, log.append)
        log.append("Empty response from summarizer LLM")
        return twin.fallback(messages)
    except Exception as e:
        log.append(f"Summarization failed: {e}")
        return twin.fallback(messages)


def drive(coro):
    value = None
    while True:
        try:
            value = coro.send(value)
        except StopIteration as stop:
            return stop.value
        value = None


@given(messages=message_lists, existing=st.one_of(st.none(), texts),
       reply=st.one_of(replies(), st.none(), values),
       mode=st.sampled_from(["reply", "raise", "not awaitable", "raw"]))
def test_summarize_messages(mod, quiet_logger, messages, existing, reply, mode):
    runs = []
    for which in ("module", "twin"):
        quiet_logger.clear()
        case = Case(mod)
        msgs, answer = build(case, messages), build(case, reply, "reply")
        case.target = msgs
        client = Client(case, answer, mode)
        if which == "module":
            op = mod.ConversationSummarizer(client).summarize_messages(msgs, existing)
        else:
            op = summarize_twin(mod, quiet_logger, client, msgs, existing)
        result = outcome(lambda: drive(op))
        runs.append((result, case.log, list(quiet_logger), norm(client.calls)))
    assert runs[0] == runs[1]
    event(runs[0][0][0])


# ---------------------------------------------------------------------------------
# Huge and deeply nested inputs end in a result or a clean exception.

def nested_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def nested_dict(depth):
    value = {}
    for _ in range(depth):
        value = {"k": value}
    return value


DEEP = 100_000
EXTREMES = {
    "huge brief": lambda m: m._brief_args({str(i): "x" * 1000 for i in range(20_000)}),
    "deep brief value": lambda m: m._brief_args({"v": nested_list(DEEP)}),
    "deep brief dict": lambda m: m._brief_args({"v": nested_dict(DEEP)}),
    "huge transcript": lambda m: m._format_messages_for_summary(
        [{"role": r, "content": "\U0001F600" * 10_000} for r in ("user", "tool") * 500]),
    "deep json arguments": lambda m: m._format_messages_for_summary(
        [{"role": "assistant", "tool_calls": [{"arguments": "[" * DEEP + "]" * DEEP}]}]),
    "deep content": lambda m: m._format_messages_for_summary(
        [{"role": "user", "content": nested_list(DEEP)}]),
    "deep tool calls": lambda m: m._format_messages_for_summary(
        [{"role": "assistant", "tool_calls": nested_list(DEEP)}]),
    "huge reply": lambda m: m._parse_summary("```json\n" + "x\n" * 200_000 + "```"),
    "deep reply": lambda m: m._parse_summary('{"goals":' + "[" * DEEP + "]" * DEEP + "}"),
    "surrogate reply": lambda m: m._parse_summary('{"summary": "\\ud800"}' + "\udfff"),
    "deep fallback": lambda m: m._fallback_summary(
        [{"role": "user", "content": nested_list(DEEP)}]),
    "huge context": lambda m: m.ConversationSummarizer(None).format_summary_for_context(
        {"goals": ["\udc80" * 100] * 100_000, "summary": nested_dict(DEEP)}),
}


@pytest.mark.parametrize("name", EXTREMES)
def test_extremes_end_cleanly(mod, quiet_logger, name):
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 1000))
    try:
        result = EXTREMES[name](mod)
    except (RecursionError, TypeError, AttributeError, ValueError, MemoryError) as exc:
        assert not isinstance(exc, SystemError)
        result = exc
    assert isinstance(result, (str, dict, BaseException))


@pytest.mark.parametrize("make", [
    lambda m: m._fallback_summary([{"role": "user", "content": "x"}]),
    lambda m: m._parse_summary('{"goals": ["x"]}'),
    lambda m: m._parse_summary("not json"),
    lambda m: m._empty_summary(),
], ids=["fallback", "parse", "unparsed", "empty"])
def test_records_carry_the_time_they_were_made(mod, make, quiet_logger):
    """The twin stamps its records as the module does: the time, as a float, of the call."""
    plain = types.SimpleNamespace(_fallback_summary=twin.fallback, _parse_summary=twin.parse,
                                  _empty_summary=twin.empty)
    before = time.time()
    records = [make(mod), make(plain)]
    after = time.time()
    for record in records:
        assert tuple(record) == twin.KEYS
        assert type(record["created_at"]) is float and before <= record["created_at"] <= after
    assert records[0] | {"created_at": 0} == records[1] | {"created_at": 0}
