"""Server-sent events: the exact byte form of plain events, and round trips
of hostile field texts through a parser that follows the published
event-stream parsing rules."""

import ctypes
import json
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import c_function
from morrowfen import penmoth as pm
from morrowfen.contents import ServerSentEvent, TextServerSentEvent


def c_write_sse():
    return c_function(pm, "write_sse", ctypes.py_object, ctypes.py_object, ctypes.c_int)


FACES = {"python": pm.write_sse, "c": lambda e: c_write_sse()(e, 0)}
faces = pytest.mark.parametrize("face", FACES)


def parse(stream):
    """Splits an event stream into blocks of fields, per the parsing rules:
    lines end at CR LF, LF or CR; an empty line ends a block; ':' starts a
    comment; one blank after the colon is dropped; data lines join with LF."""
    blocks, block = [], None
    for line in re.split(r"\r\n|\r|\n", stream.decode("utf-8"))[:-1]:
        if block is None:
            block = {"id": None, "event": None, "data": None, "retry": None, "comments": []}
        if line == "":
            blocks.append(block)
            block = None
            continue
        field, sep, value = line.partition(":")
        value = value[1:] if value.startswith(" ") else value
        if field == "":
            block["comments"].append(value)
        elif field == "data":
            block["data"] = value if block["data"] is None else block["data"] + "\n" + value
        elif field in ("id", "event"):
            block[field] = value
        elif field == "retry":
            block["retry"] = int(value) if value.isdigit() else None
        else:
            raise AssertionError(f"unexpected field {field!r}")
    assert block is None, "stream does not end with an empty line"
    return blocks


@faces
@pytest.mark.parametrize(
    "event, expected",
    [
        (ServerSentEvent(None), b"\n"),
        (ServerSentEvent("", event="", id="", comment=""), b"\n"),
        (
            TextServerSentEvent("hello", event="tick", id="7", retry=500),
            b"id: 7\nevent: tick\ndata: hello\nretry: 500\n\n",
        ),
        (ServerSentEvent({"a": [1, 2]}, retry=0), b'data: {"a":[1,2]}\nretry: 0\n\n'),
        (TextServerSentEvent("x", comment="c", id="i", event="e"), b"id: i\n: c\nevent: e\ndata: x\n\n"),
        (ServerSentEvent(0), b"\n"),
        (ServerSentEvent(False, id="1"), b"id: 1\n\n"),
        (
            TextServerSentEvent("caf\xe9", id="\xe9", event="\xe9", comment="\xe9"),
            b"id: \xc3\xa9\n: \xc3\xa9\nevent: \xc3\xa9\ndata: caf\xc3\xa9\n\n",
        ),
        (TextServerSentEvent("x", retry=-1), b"data: x\n\n"),
    ],
    ids=["nothing", "empty", "full", "json", "order", "zero-data", "false-data", "utf8", "no-retry"],
)
def test_byte_form(face, event, expected):
    assert FACES[face](event) == expected


@faces
def test_line_breaks(face):
    write = FACES[face]
    # an id or event name stays on its line whatever breaks it holds
    assert write(ServerSentEvent(None, id="\r\n\n")) == b"id: \n\n"
    assert write(ServerSentEvent(None, id="1\r\nx\ny\rz", event="a\rb")) == b"id: 1xyz\nevent: ab\n\n"
    # a comment of several lines gives several comment lines, an empty last one included
    assert write(ServerSentEvent(None, comment="a\nb\r\nc\rd\n")) == b": a\n: b\n: c\n: d\n: \n\n"
    # data of several lines goes out as several data lines
    assert write(TextServerSentEvent("a\r\nb\rc\n\nd")) == b"data: a\ndata: b\ndata: c\ndata: \ndata: d\n\n"

    class Blank(TextServerSentEvent):
        def write_data(self):
            return ""

    assert write(Blank("true data")) == b"data: \n\n"  # a true data gives a data line, even an empty one
    assert write(TextServerSentEvent("")) == b"\n"


def test_the_pattern_is_read_from_the_module():
    original = pm._NEW_LINES_RX
    try:
        pm._NEW_LINES_RX = re.compile("-")
        assert pm.write_sse(ServerSentEvent(None, id="a-b", comment="c-d")) == b"id: ab\n: c\n: d\n\n"
        pm._NEW_LINES_RX = re.compile(r"\s")  # may add separators, can never let a line break through
        assert pm.write_sse(ServerSentEvent(None, comment="a b\rc")) == b": a\n: b\n: c\n\n"
        del pm._NEW_LINES_RX
        with pytest.raises(NameError, match="^name '_NEW_LINES_RX' is not defined$"):
            pm.write_sse(ServerSentEvent(None, id="x"))
        assert pm.write_sse(ServerSentEvent(None)) == b"\n"  # not needed, not looked up
    finally:
        pm._NEW_LINES_RX = original


@faces
def test_write_data_overrides_run(face):
    class Upper(ServerSentEvent):
        def write_data(self):
            return super().write_data().upper()

    assert FACES[face](Upper("abc")) == b'data: "ABC"\n\n'

    class Nothing(TextServerSentEvent):
        def write_data(self):
            return None

    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'encode'$"):
        FACES[face](Nothing("x"))

    class Number(TextServerSentEvent):
        def write_data(self):
            return 5

    with pytest.raises(TypeError):
        FACES[face](Number("x"))

    class Failing(TextServerSentEvent):
        def write_data(self):
            raise LookupError("data")

    with pytest.raises(LookupError):
        FACES[face](Failing("x"))
    # a false data suppresses the data line, whatever write_data would give
    assert FACES[face](Failing("")) == b"\n"


@faces
def test_refusals(face):
    write = FACES[face]
    with pytest.raises(UnicodeEncodeError):
        write(ServerSentEvent(None, id="\ud800"))
    with pytest.raises(UnicodeEncodeError):
        write(TextServerSentEvent("\udfff"))

    class Text(str):
        pass

    for field in ("id", "event", "comment"):
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            write(ServerSentEvent(None, **{field: 5}))
        assert write(ServerSentEvent(None, **{field: Text("t")})).endswith(b"t\n\n")

    class Numbers(ServerSentEvent):
        def write_data(self):
            return 5

    with pytest.raises(TypeError, match="write_data.. of .*Numbers must return str, not int"):
        write(Numbers(True))

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        write(ServerSentEvent(BadTruth()))
    with pytest.raises(TypeError, match="Argument 'event' has incorrect type"):
        write(None)


def test_plain_object_with_the_same_attributes_is_refused():
    class Lookalike:
        id = event = comment = None
        data = "x"
        retry = -1

        def write_data(self):
            return "x"

    with pytest.raises(TypeError, match=r"expected morrowfen.contents.ServerSentEvent, got Lookalike\)$"):
        pm.write_sse(Lookalike())


# --- round trips of hostile texts ----------------------------------------------------

texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=40)
hostile = st.lists(
    st.sampled_from(["\r", "\n", "\r\n", ":", " ", "data: x", "id: 9", "event: e", "a", "\xe9", "\x00"]), max_size=12
).map("".join)
field_text = st.one_of(texts, hostile)


def breaks_removed(text):
    return text.replace("\r", "").replace("\n", "")


@settings(max_examples=300, deadline=None)
@given(
    id_=field_text.filter(lambda t: "\x00" not in t),
    event=field_text,
    comment=field_text,
    data=field_text,
    retry=st.integers(-1, 2**31 - 1),
)
def test_events_round_trip(id_, event, comment, data, retry):
    ev = TextServerSentEvent(data, event=event, id=id_, retry=retry, comment=comment)
    blocks = parse(pm.write_sse(ev))
    assert len(blocks) == 1
    block = blocks[0]
    assert block["id"] == (breaks_removed(id_) if id_ else None)
    assert block["event"] == (breaks_removed(event) if event else None)
    assert block["data"] == (re.sub(r"\r\n|\r", "\n", data) if data else None)
    assert block["retry"] == (retry if retry >= 0 else None)
    assert block["comments"] == (re.split(r"\r\n|\r|\n", comment) if comment else [])


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(field_text, field_text), max_size=5))
def test_streams_of_events_keep_their_boundaries(pairs):
    stream = b"".join(pm.write_sse(TextServerSentEvent(d, event=e)) for e, d in pairs)
    blocks = parse(stream)
    assert len(blocks) == len(pairs)
    for block, (e, d) in zip(blocks, pairs):
        assert block["data"] == (re.sub(r"\r\n|\r", "\n", d) if d else None)


def test_json_data_parses_back():
    payload = {"text": "line1\nline2\r\n", "n": [1, 2.5, None]}
    [block] = parse(pm.write_sse(ServerSentEvent(payload)))
    assert json.loads(block["data"]) == payload


def test_text_event_data_must_be_text():
    with pytest.raises(TypeError, match=r"^TextServerSentEvent\(\) argument 'data' must be str, not int$"):
        TextServerSentEvent(5)
    with pytest.raises(TypeError, match="must be str, not NoneType"):
        TextServerSentEvent(None)
