import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def capsule_name(capsule):
    name = _get_name(capsule)
    return None if name is None else name.decode()


def capsule_address(capsule):
    return _get_pointer(capsule, _get_name(capsule))


def c_function(module, name, restype, *argtypes):
    """A C-level function of a module's exported interface, callable through ctypes."""
    return ctypes.PYFUNCTYPE(restype, *argtypes)(capsule_address(module.__pyx_capi__[name]))


def run_python(code, *args, check=True):
    """Runs code in a fresh interpreter (for start-up and crash tests)."""
    proc = subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def pm():
    import morrowfen.penmoth

    return morrowfen.penmoth


# --- real servers: each test module that serves gives a module-scoped `server_process` ---

TIMEOUT = 15.0  # seconds for any one request of a test to a real server


@pytest.fixture
def server(request, server_process):
    """The module's running server; its output is shown when the test fails."""
    from servers import print_log_if_failed

    failures = request.session.testsfailed
    yield server_process
    print_log_if_failed(request, server_process, failures)


@pytest.fixture
def client(server):
    import httpx

    with httpx.Client(base_url=server.url, timeout=TIMEOUT) as client:
        yield client
