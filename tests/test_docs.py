"""The user documentation (docs/): every ```python block runs in a fresh
interpreter against the installed package and fails on any exception, the
blocks together pass `mypy --strict`, and the pages link to each other.

A block whose previous line is `<!-- not run: reason -->` is left out. A block
that uses morrowfen.server is left out while that module cannot be imported."""

import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
FENCE = re.compile(r"^(\s*)```\s*([\w+-]*)\s*$")
NOT_RUN = re.compile(r"^\s*<!--\s*not run:\s*\S.*-->\s*$")
# What only shows on stderr when an example is wrong without raising.
SILENT_FAULTS = ("was never awaited", "Exception ignored", "Task was destroyed but it is pending")


@dataclass
class Block:
    page: Path
    line: int  # of the opening fence, 1-based
    language: str
    code: str
    skipped: bool

    @property
    def id(self):
        return f"{self.page.relative_to(DOCS)}:{self.line}"

    @property
    def module_name(self):
        return re.sub(r"\W", "_", f"{self.page.relative_to(DOCS).with_suffix('')}_L{self.line}")


def blocks_of(page):
    """The fenced blocks of a page, with their indentation taken off."""
    found, lines = [], page.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, language = opening.group(1), opening.group(2)
        body, j = [], i + 1
        while j < len(lines) and not (FENCE.match(lines[j]) and lines[j].strip() == "```"):
            body.append(lines[j][len(indent) :] if lines[j].startswith(indent) else lines[j].lstrip())
            j += 1
        assert j < len(lines), f"{page}:{i + 1}: the block is never closed"
        skipped = i > 0 and bool(NOT_RUN.match(lines[i - 1]))
        found.append(Block(page, i + 1, language, "\n".join(body) + "\n", skipped))
        i = j + 1
    return found


PAGES = sorted(DOCS.rglob("*.md"))
BLOCKS = [b for page in PAGES for b in blocks_of(page)]
PYTHON = [b for b in BLOCKS if b.language == "python"]


def test_the_documentation_has_code():
    assert PAGES and len(PYTHON) >= 20
    assert sum(b.skipped for b in PYTHON) <= 3, "most examples must run"
    for block in BLOCKS:
        assert block.language, f"{block.id}: say the block's language (python, sh, text...)"


@pytest.mark.parametrize("block", PYTHON, ids=[b.id for b in PYTHON])
def test_example_runs(block, tmp_path):
    if block.skipped:
        pytest.skip("marked not run")
    script = tmp_path / f"{block.module_name}.py"
    script.write_text(block.code, encoding="utf-8")
    proc = subprocess.run(
        [sys.executable, "-W", "error::RuntimeWarning", str(script)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    report = f"{block.id}: exit {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    assert proc.returncode == 0, report
    assert not any(fault in proc.stderr for fault in SILENT_FAULTS), report


def test_examples_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    checked = [b for b in PYTHON if not b.skipped]
    by_file = {}
    for block in checked:
        path = tmp_path / f"{block.module_name}.py"
        path.write_text(block.code, encoding="utf-8")
        by_file[path.name] = block
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--cache-dir",
            str(tmp_path / ".mypy_cache"),
            *sorted(by_file),
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    if proc.returncode == 0:
        return

    def located(line):
        # "name.py:3: error: ..." -> "docs/page.md:12: error: ..." (the fence is line 0 of the code)
        match = re.match(r"([^:\s]+\.py):(\d+):(.*)", line)
        if not match or match[1] not in by_file:
            return line
        block = by_file[match[1]]
        return f"docs/{block.id.rsplit(':', 1)[0]}:{block.line + int(match[2])}:{match[3]}"

    report = "\n".join(located(line) for line in (proc.stdout + proc.stderr).splitlines())
    raise AssertionError(f"mypy --strict on the documentation's examples (exit {proc.returncode}):\n{report}")


def test_the_index_links_every_page_in_reading_order():
    index = (DOCS / "index.md").read_text(encoding="utf-8")
    links = re.findall(r"\]\(([^)#\s]+\.md)", index)
    order = ["quickstart.md", "api.md", "behaviour.md", "production.md"]
    first = [links.index(p) for p in order]
    assert first == sorted(first), f"pages out of order: {links}"
    assert {str(p.relative_to(DOCS)) for p in PAGES} - {"index.md"} <= set(links), "a page the index does not link"


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(DOCS)) for p in PAGES])
def test_relative_links_resolve(page):
    text = page.read_text(encoding="utf-8")
    for target in re.findall(r"\]\((?!https?:|mailto:|#)([^)\s#]+)(?:#[^)\s]*)?\)", text):
        assert (page.parent / target).resolve().exists(), f"{page.relative_to(DOCS)}: broken link {target}"
