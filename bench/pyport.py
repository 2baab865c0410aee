"""morrowfen.penmoth in plain Python: the baseline the benchmarks measure the
native module against.

Written the way the module would be written in Python by someone who cares
about speed: dict lookups for the known header texts, fast paths for exact
types, shared header lists, `async def` and async generators. On the inputs
the benchmarks use it gives what the native module gives, header rule
included (tests/test_bench_smoke.py checks that).
"""

import re

from morrowfen.contents import Content, RSGIContent, StreamedContent
from morrowfen.messages import Request, Response

MAX_RESPONSE_CHUNK_SIZE = 61440

# --- the header rule --------------------------------------------------------------
#
# A name is an RFC 9110 token, a value carries no CR, LF or NUL. Names already
# seen valid are remembered (a bounded set), so a known name costs one lookup.

_TCHARS = b"!#$%&'*+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
_TOKEN_STR = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+").fullmatch
_VALID_NAMES = {
    n.encode()
    for n in (
        "content-type",
        "content-length",
        "transfer-encoding",
        "server",
        "date",
        "set-cookie",
        "location",
        "connection",
        "cache-control",
        "vary",
        "etag",
        "last-modified",
        "x-frame-options",
        "x-content-type-options",
        "strict-transport-security",
        "access-control-allow-origin",
    )
}
_VALID_NAMES |= {n.decode() for n in _VALID_NAMES}
_CACHE_LIMIT = 512


def _is_token(name):
    # bytes.translate deleting the token characters leaves nothing of a token;
    # it is faster than a regular expression on short names.
    if isinstance(name, str):
        return _TOKEN_STR(name) is not None
    return len(name) > 0 and not name.translate(None, _TCHARS)


def _name_error(name):
    if isinstance(name, str):
        name = name.encode("utf-8", "surrogatepass")
    return ValueError(
        f"invalid header name {bytes(name)!r}: a header name is a token (letters, digits and !#$%&'*+-.^_`|~)"
    )


def _value_error(header):
    if isinstance(header, str):
        header = header.encode("utf-8", "surrogatepass")
    return ValueError(f"invalid value of header {bytes(header)!r}: a header value cannot contain CR, LF or NUL")


def _check_name(name):
    """Refuses a name that is not a token; names seen valid are remembered."""
    if name in _VALID_NAMES:
        return
    if not _is_token(name):
        raise _name_error(name)
    if len(_VALID_NAMES) < _CACHE_LIMIT:
        _VALID_NAMES.add(bytes(name) if isinstance(name, bytearray) else name)


# `13 in value` (an int) is a memchr; `b"\r" in value` goes through the
# buffer protocol and costs ten times as much.
def _bad_bytes_value(value):
    return 13 in value or 10 in value or 0 in value


# --- content headers ----------------------------------------------------------------


def _refuse_none(param, expected):
    return TypeError(f"Argument '{param}' has incorrect type (expected {expected}, got NoneType)")


def set_headers_for_response_content(message):
    if message is None:
        raise _refuse_none("message", "morrowfen.messages.Response")
    content = message.content
    add = message._add_header
    if not content:
        status = message.status
        if 100 <= status < 200 or status == 204 or status == 304:
            return
        add(b"content-length", b"0")
        return
    ct = content.type
    if ct is None:
        ct = b"application/octet-stream"
    elif type(ct) is not bytes:
        raise TypeError(f"Expected bytes, got {type(ct).__name__}")
    elif not ct:
        ct = b"application/octet-stream"
    add(b"content-type", ct)
    length = content.length
    if length < 0:
        add(b"transfer-encoding", b"chunked")
    else:
        add(b"content-length", b"%d" % length)


def write_response_cookie(cookie):
    raise NotImplementedError("not benchmarked")


# --- framing ------------------------------------------------------------------------


def get_chunks(data):
    n = len(data)
    size = MAX_RESPONSE_CHUNK_SIZE
    for i in range(0, n, size):
        yield data[i : i + size]
    yield b""


async def write_chunks(http_content):
    async for chunk in http_content.get_parts():
        n = len(chunk)
        if not n:
            continue
        try:
            yield b"%x\r\n%b\r\n" % (n, chunk)
        except TypeError:
            raise TypeError(f"can't concat {type(chunk).__name__} to bytes") from None
    yield b"0\r\n\r\n"


# --- server-sent events -------------------------------------------------------------

_NEW_LINES_RX = re.compile("\r\n|\n")
_LINES = re.compile("\r\n|\r|\n")


def _has_break(text):
    return "\n" in text or "\r" in text


def write_sse(event):
    if event is None:
        raise _refuse_none("event", "morrowfen.contents.ServerSentEvent")
    out = []
    id_, comment, name = event.id, event.comment, event.event
    if id_:
        if _has_break(id_):
            id_ = _NEW_LINES_RX.sub("", id_).replace("\r", "").replace("\n", "")
        out.append("id: " + id_ + "\n")
    if comment:
        if _has_break(comment):
            out.extend(": " + line + "\n" for line in _LINES.split(comment))
        else:
            out.append(": " + comment + "\n")
    if name:
        if _has_break(name):
            name = _NEW_LINES_RX.sub("", name).replace("\r", "").replace("\n", "")
        out.append("event: " + name + "\n")
    if event.data:
        text = event.write_data()
        if _has_break(text):
            out.extend("data: " + line + "\n" for line in _LINES.split(text))
        else:
            out.append("data: " + text + "\n")
    retry = event.retry
    if retry >= 0:
        out.append("retry: %d\n" % retry)
    out.append("\n")
    return "".join(out).encode()


# --- ASGI ---------------------------------------------------------------------------

_START = "http.response.start"
_BODY = "http.response.body"


def _checked_asgi_headers(response):
    """The response's list as the server gets it, after every pair was checked."""
    headers = response._raw_headers
    if headers is None:
        headers = response._raw_headers = []
        return headers
    if not isinstance(headers, (list, tuple)):
        raise TypeError(
            f"the headers of a response must be a list of (bytes, bytes) pairs, not {type(headers).__name__}"
        )
    for pair in headers:
        if (type(pair) is not tuple and not isinstance(pair, (tuple, list))) or len(pair) != 2:
            raise TypeError(f"a response header must be a (name, value) pair of bytes, not {type(pair).__name__}")
        name, value = pair
        if type(name) is not bytes or type(value) is not bytes:
            if not isinstance(name, bytes) or not isinstance(value, bytes):
                raise TypeError(
                    f"header names and values must be bytes, not {type(name).__name__} and {type(value).__name__}"
                )
        if name not in _VALID_NAMES:
            _check_name(name)
        if 13 in value or 10 in value or 0 in value:
            raise _value_error(name)
    return headers


def _part(chunk):
    if chunk is None:
        return b""
    if type(chunk) is bytes:
        return chunk
    raise TypeError(f"Expected bytes, got {type(chunk).__name__}")


async def send_asgi_response(response, send):
    if response is None:
        raise _refuse_none("response", "morrowfen.messages.Response")
    content = response.content
    set_headers_for_response_content(response)
    headers = _checked_asgi_headers(response)
    await send({"type": _START, "status": response.status, "headers": headers})
    if not content:
        await send({"type": _BODY, "body": b""})
        return
    if content.length < 0 or isinstance(content, StreamedContent):
        async for chunk in content.get_parts():
            chunk = _part(chunk)
            if not chunk:
                await send({"type": _BODY, "body": b"", "more_body": False})
                return
            await send({"type": _BODY, "body": chunk, "more_body": True})
        await send({"type": _BODY, "body": b"", "more_body": False})
        return
    if content.length > MAX_RESPONSE_CHUNK_SIZE:
        for chunk in get_chunks(content.body):
            chunk = _part(chunk)
            await send({"type": _BODY, "body": chunk, "more_body": len(chunk) > 0})
        return
    await send({"type": _BODY, "body": content.body, "more_body": False})


# --- RSGI: request intake -----------------------------------------------------------

_KNOWN_HEADERS = {
    n: n.encode()
    for n in (
        "host",
        "user-agent",
        "accept",
        "accept-encoding",
        "accept-language",
        "content-type",
        "content-length",
        "connection",
        "cookie",
        "authorization",
        "origin",
        "referer",
        "cache-control",
        "pragma",
        "upgrade-insecure-requests",
        "sec-ch-ua",
        "sec-ch-ua-mobile",
        "sec-ch-ua-platform",
        "sec-fetch-site",
        "sec-fetch-mode",
        "sec-fetch-user",
        "sec-fetch-dest",
        "x-forwarded-for",
        "x-forwarded-proto",
        "x-forwarded-host",
        "x-real-ip",
    )
}
_HEADER_VAL_BYTES = {
    v: v.encode()
    for v in (
        "*/*",
        "keep-alive",
        "close",
        "gzip, deflate",
        "gzip, deflate, br",
        "application/json",
        "text/plain",
        "text/plain; charset=utf-8",
        "text/html",
        "text/html; charset=utf-8",
    )
}
_BYTES_LIKE = (bytes, bytearray, memoryview)


def _to_bytes(item, table):
    if type(item) is str:
        known = table.get(item)
        return known if known is not None else item.encode("latin-1")
    if type(item) is bytes:
        return item
    if isinstance(item, _BYTES_LIKE):
        return bytes(item)
    return str(item).encode("latin-1")


def extract_rsgi_headers(raw_headers):
    items = getattr(raw_headers, "items", None)
    source = items() if items is not None else raw_headers
    if source is None:
        return []
    names, values = _KNOWN_HEADERS, _HEADER_VAL_BYTES
    headers = []
    append = headers.append
    for pair in source:
        name, value = pair[0], pair[1]
        if type(name) is str:
            name_bytes = names.get(name) or name.encode("latin-1")
        else:
            name_bytes = _to_bytes(name, names)
        if type(value) is str:
            value_bytes = values.get(value) or value.encode("latin-1")
        else:
            value_bytes = _to_bytes(value, values)
        append((name_bytes, value_bytes))
    return headers


def _text_attribute(scope, name):
    value = getattr(scope, name)
    if value is not None and type(value) is not str:
        raise TypeError(f"Expected str, got {type(value).__name__}")
    return value


def instantiate_rsgi_request(scope, protocol):
    path = _text_attribute(scope, "path")
    if path is None:
        raise TypeError("bad argument type for built-in operation")
    raw_path = path.encode()
    query = _text_attribute(scope, "query_string")
    target = raw_path + b"?" + query.encode("latin-1") if query else raw_path
    headers = extract_rsgi_headers(scope.headers)
    method = _text_attribute(scope, "method")
    request = Request(method, target, headers)
    request.scope = scope
    request.content = RSGIContent(protocol)
    return request


# --- RSGI: answers ------------------------------------------------------------------

_PREBUILT = {
    ct.encode(): [("content-type", ct)]
    for ct in ("application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8", "text/html")
}
_EMPTY_HEADERS = []
_OUT_NAMES = {
    n.encode(): n
    for n in (
        "content-type",
        "content-length",
        "server",
        "date",
        "set-cookie",
        "location",
        "connection",
        "cache-control",
        "vary",
        "access-control-allow-origin",
        "access-control-allow-headers",
        "access-control-allow-methods",
        "access-control-allow-credentials",
        "access-control-expose-headers",
        "access-control-max-age",
        "transfer-encoding",
        "www-authenticate",
        "authorization",
        "accept",
        "host",
        "etag",
        "last-modified",
        "strict-transport-security",
        "x-content-type-options",
        "x-frame-options",
    )
}
_OUT_VALUES = {
    v.encode(): v
    for v in (
        "application/json",
        "text/plain; charset=utf-8",
        "text/plain",
        "text/html; charset=utf-8",
        "text/html",
        "chunked",
        "keep-alive",
        "close",
        "0",
    )
}
# The names above and the bytes names met since, checked and converted once.
_SEEN_NAMES = dict(_OUT_NAMES)
_CT_STR = {
    ct.encode(): ct
    for ct in ("text/html; charset=utf-8", "text/html", "application/json", "text/plain", "text/plain; charset=utf-8")
}


def _text_of_bytes(data, header):
    """Bytes as the text that carries them to the wire unchanged (the server
    writes UTF-8); `header` is None for a name, else the header's name."""
    if header is None:
        if not _is_token(data):
            raise _name_error(data)
        return data.decode("ascii")
    if 13 in data or 10 in data or 0 in data:
        raise _value_error(header)
    try:
        return data.decode()
    except UnicodeDecodeError:
        shown = header.encode() if isinstance(header, str) else header
        raise ValueError(f"the value of header {shown!r} is neither ASCII nor UTF-8") from None


def _checked_str(text, header):
    if header is None:
        if text not in _VALID_NAMES:
            _check_name(text)
    elif "\r" in text or "\n" in text or "\0" in text:
        raise _value_error(header)
    return text


def _convert(item, header):
    if type(item) is bytes:
        return _text_of_bytes(item, header)
    if type(item) is str:
        return _checked_str(item, header)
    if isinstance(item, _BYTES_LIKE):
        return _text_of_bytes(bytes(item), header)
    return _checked_str(str(item), header)


def _content_type_str(ct):
    known = _CT_STR.get(ct)
    return known if known is not None else _convert(ct, "content-type")


def _rsgi_headers(raw, content):
    if not raw:
        if content is None:
            return _EMPTY_HEADERS
        ct = content.type
        if ct is None:
            return _EMPTY_HEADERS
        prebuilt = _PREBUILT.get(ct)
        if prebuilt is not None:
            return prebuilt
        return [("content-type", _content_type_str(ct))]
    names, values = _SEEN_NAMES, _OUT_VALUES
    headers = []
    append = headers.append
    has_ct = False
    for pair in raw:
        name, value = pair[0], pair[1]
        name_str = names.get(name) if type(name) is bytes else None
        if name_str is None:
            name_str = _convert(name, None)
            if type(name) is bytes and len(names) < _CACHE_LIMIT:
                names[name] = name_str
        value_str = values.get(value) if type(value) is bytes else None
        if value_str is None:
            value_str = _convert(value, name_str)
        if name_str == "content-type":
            has_ct = True
        append((name_str, value_str))
    if not has_ct and content is not None:
        ct = content.type
        if ct is not None:
            append(("content-type", _content_type_str(ct)))
    return headers


def send_rsgi_response_sync(response, protocol):
    if response is None:
        raise _refuse_none("response", "morrowfen.messages.Response")
    content = response.content
    if content is not None and not isinstance(content, Content):
        raise TypeError(f"expected a Content, not {type(content).__name__}")
    headers = _rsgi_headers(response._raw_headers, content)
    if content is None:
        protocol.response_empty(response.status, headers)
        return None
    body = content.body
    kind = type(body)
    if kind is bytes:
        protocol.response_bytes(response.status, headers, body)
    elif kind is str:
        protocol.response_str(response.status, headers, body)
    elif body is None:
        if isinstance(content, StreamedContent):
            return _send_rsgi_stream(response, protocol, headers, content)
        protocol.response_empty(response.status, headers)
    elif isinstance(body, _BYTES_LIKE):
        protocol.response_bytes(response.status, headers, bytes(body))
    else:
        protocol.response_str(response.status, headers, str(body))
    return None


async def _send_rsgi_stream(response, protocol, headers, content):
    if response is None:
        raise _refuse_none("response", "morrowfen.messages.Response")
    transport = protocol.response_stream(response.status, headers)
    if hasattr(transport, "__await__"):
        transport = await transport
    send_bytes, send_str = transport.send_bytes, transport.send_str
    async for chunk in content.stream():
        if not chunk:
            continue
        kind = type(chunk)
        if kind is bytes:
            await send_bytes(chunk)
        elif kind is str:
            await send_str(chunk)
        elif isinstance(chunk, _BYTES_LIKE):
            await send_bytes(bytes(chunk))
        else:
            await send_str(str(chunk))


async def send_rsgi_response(response, protocol):
    pending = send_rsgi_response_sync(response, protocol)
    if pending is not None:
        await pending


__all__ = [
    "MAX_RESPONSE_CHUNK_SIZE",
    "Response",
    "extract_rsgi_headers",
    "get_chunks",
    "instantiate_rsgi_request",
    "send_asgi_response",
    "send_rsgi_response",
    "send_rsgi_response_sync",
    "set_headers_for_response_content",
    "write_chunks",
    "write_response_cookie",
    "write_sse",
]
