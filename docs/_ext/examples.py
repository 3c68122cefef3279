"""Shell sessions and example files in the pages, run by ``sphinx.ext.doctest`` with the rest.

``sphinx-build -b doctest`` runs the ``>>>`` blocks of each page, in order, in one namespace per
page. Two kinds of example are not Python, and no standard extension runs them; this module
adds them to the same run, in their place on the page:

- ``.. example-file:: NAME``: shown as a listing, and written to NAME in the page's scratch
  directory (a script a later console block runs, a C source it compiles, a CSV file);
- ``.. console::``: ``$ command`` lines and the output each must print (standard output and
  standard error together), run by bash with the interpreter's ``bin`` directory first on
  PATH, so ``python`` and ``quorvane-ellipsoid`` are those of the environment building the
  docs. A command must exit with status 0; show a failure with ``; echo "exit status $?"``.
  Runs of whitespace compare equal (the page shows a tab as spaces), ``...`` matches anything.
  With ``:ignore-stderr:`` only standard output is compared: for programs whose log lines
  depend on the machine (a Dask cluster's shutdown on a busy machine).

Each directive's node carries the doctest extension's own attributes (``testnodetype``,
``groups``, ``test``), as its ``.. doctest::`` nodes do, so the doctest builder runs it among
the ``>>>`` blocks; the call it runs goes to :class:`Page`, which ``doctest_global_setup`` in
``conf.py`` creates for every page: the scratch directory that the page's examples share (files
one example writes, the next one reads, Python or shell alike), and its environment.
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
from sphinx.util.docutils import SphinxDirective

COMMAND_TIMEOUT = 300  # seconds; a Dask cluster start-up takes a few


def _doctest_node(node: nodes.Element, call: str) -> None:
    """Mark ``node`` as a doctest of the page's default group whose one example is ``call``,
    expected to print nothing (a doctest rather than a ``testcode`` block, whose failures the
    builder reports at twice their line number)."""
    node["testnodetype"] = "doctest"
    node["groups"] = ["default"]
    node["test"] = f">>> {call}\n"


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
        self.set_source_info(block)
        _doctest_node(block, f"_page.write_file({name!r}, {text!r})")
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
        self.set_source_info(block)
        ignore_stderr = "ignore-stderr" in self.options
        _doctest_node(block, f"_page.console({text!r}, ignore_stderr={ignore_stderr})")
        return [block]


def commands(text: str) -> list[tuple[str, str]]:
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


class Page:
    """The scratch directory and environment of one page's examples: made the working
    directory when the page's examples start, removed when they end. A mismatch is printed,
    which the doctest run reports as output where none was expected."""

    def __init__(self) -> None:
        self.tmp = tempfile.TemporaryDirectory(prefix="qdocs-")
        self.cwd = Path(self.tmp.name)
        self.previous = Path.cwd()
        os.chdir(self.cwd)
        self.env = dict(os.environ)
        self.env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + self.env["PATH"]
        self.env["COLUMNS"] = "100"  # argparse wraps --help to the terminal
        self.env.pop("PYTHONPATH", None)
        self.checker = doctest.OutputChecker()
        self.printoptions = _numpy_printoptions()

    def write_file(self, name: str, text: str) -> None:
        (self.cwd / name).write_text(text)

    def console(self, text: str, *, ignore_stderr: bool = False) -> None:
        for command, expected in commands(text):
            try:
                done = subprocess.run(
                    ["bash", "-c", "set -o pipefail\n" + command],
                    check=False,
                    cwd=self.cwd,
                    env=self.env,
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE if ignore_stderr else subprocess.STDOUT,
                    text=True,
                    timeout=COMMAND_TIMEOUT,
                )
            except subprocess.TimeoutExpired:
                print(f"command did not finish in {COMMAND_TIMEOUT} s: {command}")
                return
            got = "\n".join(line.rstrip() for line in done.stdout.splitlines())
            want = "\n".join(line.rstrip() for line in expected.splitlines()).strip("\n")
            if done.returncode != 0:
                print(f"command exited with {done.returncode}: {command}\n{got}{done.stderr or ''}")
                return
            # Whitespace runs compare equal: the page's tabs have become spaces (TSV output).
            flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
            if not self.checker.check_output(want + "\n", got + "\n", flags):
                print(
                    f"command printed other output: {command}\n--- expected\n{want}\n--- got\n{got}"
                )
                return

    def close(self) -> None:
        os.chdir(self.previous)
        self.tmp.cleanup()
        if self.printoptions is not None:  # a page's np.set_printoptions ends with the page
            import numpy

            numpy.set_printoptions(**self.printoptions)


def _numpy_printoptions() -> dict[str, object] | None:
    try:
        import numpy
    except ImportError:
        return None
    return numpy.get_printoptions()


def setup(app: Sphinx) -> dict[str, object]:
    app.setup_extension("sphinx.ext.doctest")
    app.add_directive("example-file", ExampleFile)
    app.add_directive("console", Console)
    return {"version": "2", "parallel_read_safe": True, "parallel_write_safe": True}
