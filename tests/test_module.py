"""Start-up of morrowfen.penmoth: what it binds, exports and refuses."""

import ctypes
import sys
import textwrap

import pytest

from conftest import capsule_address, capsule_name, run_python

ATTRIBUTES = [
    "__builtins__",
    "__pyx_capi__",
    "http",
    "re",
    "set_headers_for_response_content",
    "write_response_cookie",
    "write_chunks",
    "get_chunks",
    "send_asgi_response",
    "_NEW_LINES_RX",
    "write_sse",
    "extract_rsgi_headers",
    "instantiate_rsgi_request",
    "send_rsgi_response_sync",
    "_send_rsgi_stream",
    "send_rsgi_response",
    "__test__",
]

EXPORTS = {
    "MAX_RESPONSE_CHUNK_SIZE": "int",
    "extract_rsgi_headers": "PyObject *(PyObject *, int)",
    "write_sse": "PyObject *(struct morrowfen_ServerSentEvent *, int)",
    "send_rsgi_response_sync": "PyObject *(struct morrowfen_Response *, PyObject *, int)",
    "instantiate_rsgi_request": "struct morrowfen_Request *(PyObject *, PyObject *, int)",
    "set_headers_for_response_content": "void (struct morrowfen_Response *, int)",
}


def test_module_attributes(pm):
    import builtins
    import http
    import re

    # in a fresh interpreter: tests here replace some attributes, which moves them
    fresh = run_python("import morrowfen.penmoth as pm; print(' '.join(vars(pm)))").stdout.split()
    assert [n for n in fresh if n in ATTRIBUTES] == ATTRIBUTES
    assert pm.__doc__ is None and pm.__name__ == "morrowfen.penmoth" and pm.__package__ == "morrowfen"
    assert pm.__builtins__ is builtins and pm.http is http and pm.re is re
    assert pm.__test__ == {} and type(pm.__test__) is dict
    assert pm._NEW_LINES_RX.pattern == "\r\n|\n" and isinstance(pm._NEW_LINES_RX, re.Pattern)
    for private in (
        "MAX_RESPONSE_CHUNK_SIZE",
        "_MAX_RESPONSE_CHUNK_SIZE",
        "_KNOWN_HEADERS",
        "_HEADER_VAL_BYTES",
        "_PREBUILT_JSON_HEADERS",
        "_EMPTY_HEADERS",
        "_STATIC_HEADERS_BY_CT_BYTES",
        "_CT_STR_CACHE",
        "_KNOWN_OUTBOUND_HEADER_NAME_STR",
        "_KNOWN_OUTBOUND_HEADER_VAL_STR",
    ):
        assert not hasattr(pm, private)


def test_exported_interface(pm):
    capi = pm.__pyx_capi__
    assert list(capi) == list(EXPORTS)
    assert {name: capsule_name(c) for name, c in capi.items()} == EXPORTS
    size = ctypes.c_int32.from_address(capsule_address(capi["MAX_RESPONSE_CHUNK_SIZE"]))
    assert size.value == 61440
    # the module reads its own copy only
    size.value = 10
    try:
        pieces = list(pm.get_chunks(bytes(61441)))
    finally:
        size.value = 61440
    assert [len(p) for p in pieces] == [61440, 1, 0]


def test_second_import_is_the_same_module(pm):
    functions = {n: getattr(pm, n) for n in ATTRIBUTES[4:9]}
    del sys.modules["morrowfen.penmoth"]
    try:
        import morrowfen.penmoth as again
    finally:
        sys.modules["morrowfen.penmoth"] = pm
    assert again is pm
    assert all(getattr(pm, n) is f for n, f in functions.items())


def test_import_with_warnings_as_errors():
    # the instance sizes checked (the datetime types and type included) match this interpreter
    run_python("import morrowfen.penmoth", "-W", "error")


def test_sub_interpreter_is_refused():
    proc = run_python("""
        import _interpreters
        import morrowfen.penmoth
        interp = _interpreters.create('legacy')
        err = _interpreters.run_string(interp, 'import morrowfen.penmoth')
        print(err.type.__name__, err.msg, sep='|')
    """)
    assert proc.stdout.strip() == (
        "ImportError|Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


BROKEN_SIBLINGS = [
    pytest.param(
        "import morrowfen.cookies as m; del m.__pyx_capi__['parse_cookie']",
        "ImportError: morrowfen.cookies does not export expected C function parse_cookie",
        id="missing-function",
    ),
    pytest.param(
        """
        import ctypes, morrowfen.cookies as m
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        NAME = ctypes.create_string_buffer(b"int")
        m.__pyx_capi__['datetime_to_cookie_format'] = new(1, NAME, None)
    """,
        "TypeError: C function morrowfen.cookies.datetime_to_cookie_format has wrong signature "
        "(expected PyObject *(PyDateTime_DateTime *, int), got int)",
        id="wrong-signature",
    ),
    pytest.param(
        "import morrowfen.cookies as m\nclass Cookie(m.Cookie): pass\nm.Cookie = Cookie",
        "KeyError: '__pyx_vtable__'",
        id="no-vtable",
    ),
    pytest.param(
        "import morrowfen.url as m; m.URL = 5", "TypeError: morrowfen.url.URL is not a type object", id="not-a-type"
    ),
    pytest.param(
        "import morrowfen.messages as m; m.Response = object",
        "ValueError: morrowfen.messages.Response size changed, may indicate binary incompatibility. "
        "Expected {size} from C header, got 16 from PyObject",
        id="size",
    ),
    pytest.param("import sys; sys.modules['morrowfen.headers'] = None", "ModuleNotFoundError", id="no-module"),
    pytest.param("import morrowfen.messages as m; del m.__pyx_capi__", "AttributeError", id="no-capi"),
]


@pytest.mark.parametrize("breakage, error", BROKEN_SIBLINGS)
def test_start_up_failures(breakage, error):
    """A failed start-up raises the binding's error, and a later import, with
    the sibling repaired, runs start-up again from the start."""
    proc = run_python(f"""
        import sys, traceback
        import morrowfen.messages, morrowfen.cookies, morrowfen.url, morrowfen.contents, morrowfen.headers
        siblings = {{n: m for n, m in sys.modules.items() if n.startswith('morrowfen.')}}
        namespaces = {{n: dict(vars(m)) for n, m in siblings.items()}}
        capis = {{n: dict(m.__pyx_capi__) for n, m in siblings.items() if hasattr(m, '__pyx_capi__')}}
        {textwrap.dedent(breakage).strip().replace(chr(10), chr(10) + " " * 8)}
        try:
            import morrowfen.penmoth
        except BaseException as exc:
            print(''.join(traceback.format_exception_only(exc)).strip())
            print('init entry:', 'init morrowfen.penmoth' in ''.join(traceback.format_exception(exc)))
        else:
            print('imported')
        assert 'morrowfen.penmoth' not in sys.modules
        sys.modules.update(siblings)
        for n, m in siblings.items():
            vars(m).update(namespaces[n])
            if n in capis:
                m.__pyx_capi__.update(capis[n])
        import morrowfen.penmoth as pm
        print('retry:', pm.write_sse(morrowfen.contents.ServerSentEvent('x')))
    """)
    out = proc.stdout.splitlines()
    from morrowfen import messages

    assert out[0].startswith(error.format(size=messages.Response.__basicsize__))
    assert out[1] == "init entry: True"
    assert out[2] == "retry: b'data: \"x\"\\n\\n'"
