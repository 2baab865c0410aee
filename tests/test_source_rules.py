"""Rules the C++ sources keep that no compiler checks.

g++ 12 mislays the frame of a coroutine that has co_await or co_yield inside
the condition of an `if` or in a branch of a conditional expression (the
frame is then neither freed nor destroyed correctly, or the result is lost),
so the coroutine bodies take the result first (and, to be plain about it,
keep suspensions out of a one-statement `if` body as well):
`bool sent = static_cast<bool>(co_await ...); if (!sent) ...`."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
SUFFIXES = {".cpp", ".cc", ".h", ".hpp"}
IF_OPEN = re.compile(r"\bif\s*(?:constexpr\s*)?\(")
SUSPENSION = re.compile(r"\bco_(?:await|yield)\b")
RAW_STRING = re.compile(r'(?:u8|[uUL])?R"([^()\\\s]{0,16})\(')


def blank(text):
    """The text with its newlines kept and everything else made spaces."""
    return re.sub(r"[^\n]", " ", text)


def code_only(source):
    """The source with comments and string and character literals blanked out, line numbers kept."""
    out = []
    i, n = 0, len(source)
    while i < n:
        c = source[i]
        if source.startswith("//", i):
            end = source.find("\n", i)
            end = n if end < 0 else end
        elif source.startswith("/*", i):
            end = source.find("*/", i + 2)
            end = n if end < 0 else end + 2
        elif (raw := RAW_STRING.match(source, i)) and (i == 0 or not (source[i - 1].isalnum() or source[i - 1] == "_")):
            close = source.find(f'){raw.group(1)}"', raw.end())
            end = n if close < 0 else close + len(raw.group(1)) + 2
        elif c in "\"'" and not (c == "'" and i and source[i - 1].isalnum()):  # not a digit separator (1'000)
            end = i + 1
            while end < n and source[end] != c and source[end] != "\n":
                end += 2 if source[end] == "\\" else 1
            end = min(end + 1, n)
        else:
            out.append(c)
            i += 1
            continue
        out.append(blank(source[i:end]))
        i = end
    return "".join(out)


def suspending_if_conditions(source):
    """The line numbers of the `if` statements with co_await or co_yield in
    the condition, or in a body that is one statement without braces."""
    code = code_only(source)
    found = []
    for match in IF_OPEN.finditer(code):
        depth, j = 1, match.end()
        while j < len(code) and depth:
            depth += {"(": 1, ")": -1}.get(code[j], 0)
            j += 1
        # the condition, or a body that is one statement without braces
        body = re.match(r"\s*(?!\{)[^;{}]*;", code[j:])
        if SUSPENSION.search(code, match.end(), j + (body.end() if body else 0)):
            found.append(code.count("\n", 0, match.start()) + 1)
    return found


def suspending_conditional_branches(source):
    """The line numbers of the conditional expressions (`c ? a : b`) with co_await or co_yield in a branch."""
    code = code_only(source)
    found = []
    for match in re.finditer(r"\?", code):
        depth, j = 0, match.end()
        while j < len(code):
            c = code[j]
            if c in "([{":
                depth += 1
            elif c in ")]}":
                if depth == 0:
                    break
                depth -= 1
            elif c in ";," and depth == 0:
                break
            j += 1
        if SUSPENSION.search(code, match.end(), j):
            found.append(code.count("\n", 0, match.start()) + 1)
    return found


def test_no_co_await_or_co_yield_in_an_if_condition_or_a_conditional_branch():
    files = sorted(p for p in SRC.rglob("*") if p.suffix in SUFFIXES)
    assert any(SUSPENSION.search(code_only(p.read_text())) for p in files)  # the coroutine bodies are scanned
    faults = [
        f"{p.relative_to(SRC)}:{line}"
        for p in files
        for line in suspending_if_conditions(p.read_text()) + suspending_conditional_branches(p.read_text())
    ]
    assert not faults, "co_await or co_yield in an if condition or a ?: branch (take the result first):\n" + "\n".join(
        faults
    )


def code_lines(pattern, files):
    """`file:line` of each match of `pattern` in the code (not comments or literals) of the files."""
    return [
        f"{p.relative_to(SRC)}:{code.count(chr(10), 0, m.start()) + 1}"
        for p in files
        for code in [code_only(p.read_text())]
        for m in re.finditer(pattern, code)
    ]


def test_cpp_exceptions_are_caught_only_in_the_runtime():
    # guard() in runtime/errors.h is the catch every trampoline uses.
    files = sorted(p for p in SRC.rglob("*") if p.suffix in SUFFIXES)
    assert code_lines(r"\bcatch\b", [SRC / "morrowfen/runtime/errors.h"])  # the scan sees guard()'s
    assert not code_lines(r"\bcatch\b", [p for p in files if "runtime" not in p.parts])


def test_references_are_counted_only_in_the_runtime():
    # Ref (runtime/ref.h) owns every reference outside the runtime layer.
    files = sorted(p for p in SRC.rglob("*") if p.suffix in SUFFIXES and "runtime" not in p.parts)
    assert not code_lines(r"\bPy_X?(?:INCREF|DECREF|SETREF|XSETREF|CLEAR)\b|\bPy_X?NewRef\b", files)


def test_no_name_ends_in_entry():
    # A Python face is op_py, a native op_impl, an exported C form op itself.
    files = sorted(p for p in SRC.rglob("*") if p.suffix in SUFFIXES)
    assert not code_lines(r"\b\w+_entry\b", files)


@pytest.mark.parametrize(
    "source, lines",
    [
        ("if (!co_await mf::await(x)) co_return {};", [1]),
        ("Ref a;\nif (Ref r = co_await anext(it); !r)\n  co_return {};", [2]),
        ("} else if (bool(co_yield std::move(v))) {", [1]),
        ("if constexpr (true) {}\nif (ok &&\n    static_cast<bool>(co_await send(m))) {}", [2]),
        ("if(co_await x){}", [1]),
        ("if (pending)\n  result = co_await mf::await(std::move(pending));", [1]),
        # what the rule allows
        ("bool sent = static_cast<bool>(co_await send(m));\nif (!sent) co_return {};", []),
        ("while (!co_await x) {}", []),
        ("if (f(g(1), h(2))) { Ref r = co_await x; }", []),
        ("if (!ok) co_return {};\nRef r = co_await x;", []),
        ("// if (co_await x) in a comment\n/* if (co_await y) */\nif (ok) {}", []),
        ('log("if (co_await x)"); if (c == \'(\') {}\nauto s = R"(if (co_yield v))";', []),
        ("int n = 1'000; if (n) {}\nverify(); // end", []),
        ("#endif\nelif_count(co_await x);", []),
    ],
)
def test_the_rule_check(source, lines):
    assert suspending_if_conditions(source) == lines


@pytest.mark.parametrize(
    "source, lines",
    [
        ("Ref r = ok ? co_await a : Ref();", [1]),
        ("Ref r = ok\n  ? Ref()\n  : co_await b;", [2]),
        ("bool s = static_cast<bool>(co_await send(m, more ? 0 : 1));", []),
        ("Ref r = co_await x;\nint n = r ? 1 : 0;", []),
    ],
)
def test_the_conditional_rule_check(source, lines):
    assert suspending_conditional_branches(source) == lines
