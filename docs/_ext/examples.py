"""Runs the examples of each page while the page is read, so a changed result fails the build.

Three kinds of example, run in the order they appear on the page, in a scratch directory of
the page's own (files one example writes, the next one reads):

- doctest blocks (``>>>`` paragraphs): run with :mod:`doctest` in one namespace per page; the
  output must match what the page shows (``...`` matches anything, as with ``+ELLIPSIS``);
- ``.. example-file:: NAME``: shown as a listing, and written to NAME in the scratch directory
  (a script a later console block runs, a C source it compiles);
- ``.. console::``: ``$ command`` lines and the output each must print (standard output and
  standard error together), run by bash with the interpreter's ``bin`` directory first on
  PATH, so ``python`` and ``quorvane-ellipsoid`` are those of the environment building the
  docs. A command must exit with status 0; show a failure with ``; echo "exit status $?"``.
  Runs of whitespace compare equal (the page shows a tab as spaces). With ``:ignore-stderr:``
  only standard output is compared: for programs whose log lines depend on the machine (a
  Dask cluster's shutdown on a busy machine).

A mismatch, an exception or a failing command is a warning at the example's line, which the
build's ``-W`` turns into a failure.
"""

from __future__ import annotations

import doctest
import os
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import ClassVar

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

OPTIONFLAGS = doctest.ELLIPSIS
COMMAND_TIMEOUT = 300  # seconds; a Dask cluster start-up takes a few


class ExampleFile(SphinxDirective):
    """A listing that is also written to the page's scratch directory under its name."""

    required_arguments = 1
    has_content = True
    option_spec: ClassVar[dict[str, Callable[[str], object]]] = {"language": directives.unchanged}

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        text = "\n".join(self.content) + "\n"
        language = self.options.get("language") or {
            ".py": "python",
            ".c": "c",
            ".cpp": "cpp",
            ".csv": "text",
        }.get(Path(name).suffix, "text")
        block = nodes.literal_block(text, text, language=language)
        block["example_file"] = name
        self.set_source_info(block)
        caption = nodes.caption(name, name)
        container = nodes.container("", caption, block, classes=["literal-block-wrapper"])
        container["literal_block"] = True
        self.set_source_info(container)
        return [container]


class Console(SphinxDirective):
    """Shell commands and their output, shown as a console session and run."""

    has_content = True
    option_spec: ClassVar[dict[str, Callable[[str], object]]] = {"ignore-stderr": directives.flag}

    def run(self) -> list[nodes.Node]:
        text = "\n".join(self.content)
        block = nodes.literal_block(text, text, language="console")
        block["console"] = True
        block["ignore_stderr"] = "ignore-stderr" in self.options
        self.set_source_info(block)
        return [block]


def _numpy_printoptions() -> dict[str, object] | None:
    try:
        import numpy
    except ImportError:
        return None
    return numpy.get_printoptions()


def _is_example(node: nodes.Node) -> bool:
    return isinstance(node, nodes.doctest_block) or (
        isinstance(node, nodes.literal_block) and ("console" in node or "example_file" in node)
    )


def _commands(text: str) -> list[tuple[str, str]]:
    """(command, expected output) pairs of a console block."""
    pairs: list[tuple[str, list[str]]] = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("$ "):
            command = [line[2:]]
            while command[-1].endswith("\\") and i + 1 < len(lines):
                i += 1
                command.append(lines[i])
            pairs.append(("\n".join(command), []))
        elif pairs:
            pairs[-1][1].append(line)
        elif line.strip():
            raise ValueError(f"output before the first '$ ' command: {line!r}")
        i += 1
    return [(cmd, "\n".join(out)) for cmd, out in pairs]


class _Page:
    """The scratch directory, namespace and environment of one page's examples."""

    def __init__(self, app: Sphinx, docname: str) -> None:
        self.app = app
        self.docname = docname
        self.tmp = tempfile.TemporaryDirectory(prefix="qdocs-")
        self.cwd = Path(self.tmp.name)
        self.globs: dict[str, object] = {"__name__": f"docs.{docname.replace('/', '.')}"}
        self.env = dict(os.environ)
        self.env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + self.env["PATH"]
        self.env["COLUMNS"] = "100"  # argparse wraps --help to the terminal
        self.env.pop("PYTHONPATH", None)
        self.checker = doctest.OutputChecker()
        self.printoptions = _numpy_printoptions()

    def warn(self, node: nodes.Node, message: str) -> None:
        logger.warning(message, location=node, type="examples", subtype="failed")

    def doctest(self, node: nodes.doctest_block) -> None:
        source, line = node.source or self.docname, node.line or 0
        test = doctest.DocTestParser().get_doctest(
            node.astext(), self.globs, self.docname, source, line
        )
        report: list[str] = []
        runner = doctest.DocTestRunner(optionflags=OPTIONFLAGS)
        previous = Path.cwd()
        os.chdir(self.cwd)
        try:
            result = runner.run(test, out=report.append, clear_globs=False)
        finally:
            os.chdir(previous)
        self.globs.update(test.globs)  # DocTest ran on a copy; the next block sees its names
        if result.failed:
            self.warn(node, "example failed:\n" + "".join(report))

    def write_file(self, node: nodes.literal_block) -> None:
        (self.cwd / node["example_file"]).write_text(node.astext() + "\n")

    def console(self, node: nodes.literal_block) -> None:
        try:
            pairs = _commands(node.astext())
        except ValueError as exc:
            self.warn(node, f"console block: {exc}")
            return
        for command, expected in pairs:
            try:
                done = subprocess.run(
                    ["bash", "-c", "set -o pipefail\n" + command],
                    check=False,
                    cwd=self.cwd,
                    env=self.env,
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE if node.get("ignore_stderr") else subprocess.STDOUT,
                    text=True,
                    timeout=COMMAND_TIMEOUT,
                )
            except subprocess.TimeoutExpired:
                self.warn(node, f"command did not finish in {COMMAND_TIMEOUT} s: {command}")
                return
            got = "\n".join(line.rstrip() for line in done.stdout.splitlines())
            want = "\n".join(line.rstrip() for line in expected.splitlines()).strip("\n")
            if done.returncode != 0:
                errors = done.stderr or ""
                self.warn(node, f"command exited with {done.returncode}: {command}\n{got}{errors}")
                return
            # Whitespace runs compare equal: the page's tabs have become spaces (TSV output).
            flags = OPTIONFLAGS | doctest.NORMALIZE_WHITESPACE
            if not self.checker.check_output(want + "\n", got + "\n", flags):
                self.warn(
                    node,
                    f"command printed other output: {command}\n"
                    f"--- expected\n{want}\n--- got\n{got}",
                )
                return

    def close(self) -> None:
        self.tmp.cleanup()
        if self.printoptions is not None:  # a page's np.set_printoptions ends with the page
            import numpy

            numpy.set_printoptions(**self.printoptions)


def run_examples(app: Sphinx, doctree: nodes.document) -> None:
    examples = list(doctree.findall(_is_example))
    if not examples:
        return
    page = _Page(app, app.env.docname)
    try:
        for node in examples:
            if isinstance(node, nodes.doctest_block):
                page.doctest(node)
            elif "example_file" in node:
                page.write_file(node)
            else:
                page.console(node)
    finally:
        page.close()


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("example-file", ExampleFile)
    app.add_directive("console", Console)
    app.connect("doctree-read", run_examples)
    return {"version": "1", "parallel_read_safe": False, "parallel_write_safe": True}
