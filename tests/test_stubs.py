"""The .pyi stubs against the installed package: stubtest, and the parameter
names that stubtest cannot see (tp_init and METH_FASTCALL methods have no
introspectable signature)."""

import ast
import importlib
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

import morrowfen

ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
PACKAGE = Path(morrowfen.__file__).parent
STUBBED = sorted(p.stem for p in PACKAGE.glob("*.pyi"))
BUILTIN_CALLABLES = (types.BuiltinFunctionType, types.MethodDescriptorType, types.WrapperDescriptorType)
# What the interpreter's argument parsing says when a name is not accepted (before
# the function itself sees any argument).
PARSE_ERROR = re.compile(r"keyword argument|missing required argument|given by name|takes at most|takes exactly")


def test_stubtest_is_clean(tmp_path):
    # from an empty directory, so that the installed package is the one checked
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "morrowfen", "--allowlist", str(ALLOWLIST)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, f"stubtest exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"


def test_every_module_has_a_stub_next_to_it():
    assert STUBBED == [
        "_server",
        "contents",
        "cookies",
        "exceptions",
        "headers",
        "messages",
        "penmoth",
        "url",
        "websocket",
    ]
    assert (PACKAGE / "py.typed").exists()


def stub_callables():
    """(module, class name or None, function name, names a caller may pass by keyword) for every def in the stubs."""
    for stem in STUBBED:
        tree = ast.parse((PACKAGE / f"{stem}.pyi").read_text())
        for node in tree.body:
            if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef):
                yield stem, None, node.name, [a.arg for a in node.args.args + node.args.kwonlyargs]
            elif isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, ast.FunctionDef | ast.AsyncFunctionDef) and not item.decorator_list:
                        yield stem, node.name, item.name, [a.arg for a in (item.args.args + item.args.kwonlyargs)[1:]]


def runtime_callable(stem, cls_name, name):
    module = importlib.import_module(f"morrowfen.{stem}")
    owner = module if cls_name is None else getattr(module, cls_name, None)
    return owner, getattr(owner, name, None)


def test_names_the_stubs_offer_are_accepted_by_name():
    probed = []
    for stem, cls_name, name, keywords in stub_callables():
        owner, func = runtime_callable(stem, cls_name, name)
        if func is None or not keywords or not isinstance(func, BUILTIN_CALLABLES):
            continue  # not at run time (stubtest reports it) or a real signature (stubtest checks it)
        # an instance that no __init__ has seen: its fields are all None
        args = [] if cls_name is None else [owner.__new__(owner)]
        sentinel = object()
        try:
            func(*args, **{k: sentinel for k in keywords})
        except TypeError as error:
            assert not PARSE_ERROR.search(str(error)), f"{stem}.{cls_name}.{name}({', '.join(keywords)}): {error}"
        except (ValueError, AttributeError):
            pass  # the names were taken; the sentinel values were refused
        probed.append(f"{cls_name}.{name}")
    # the constructors that take names are among what was probed
    assert {
        "Content.__init__",
        "Cookie.__init__",
        "Request.__init__",
        "ServerSentEvent.__init__",
        "HTTPException.__init__",
        "URL.__init__",
    } <= set(probed)


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.Message().add_header(name=b"x", value=b"1"),
        lambda m: m.Message().get_first_header(name=b"x"),
    ],
)
def test_positional_only_at_run_time(call):
    # what the stubs mark with "/" is refused by name at run time
    import morrowfen.messages

    with pytest.raises(TypeError, match="takes no keyword arguments"):
        call(morrowfen.messages)
