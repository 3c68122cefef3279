"""``.. cli-reference::``: the reference of a command-line tool, read from its argparse parser.

    .. cli-reference:: quorvane.mathtools.ellipsoid.cli.parser:build_parser

The argument names a function that returns the :class:`argparse.ArgumentParser`. The page gets
the tool's description and usage, then a section per subcommand with its usage, description,
every option (as ``.. option::`` entries, so ``:option:`` roles link to them) and its epilog.
Nothing is written by hand: a new subcommand or option appears at the next build.
"""

from __future__ import annotations

import argparse
import importlib
import re
import textwrap

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.parsing import nested_parse_to_nodes

_SPECIAL = re.compile(r"([\\*`|])")
_TRAILING_UNDERSCORE = re.compile(r"(?<=\w)_(?=\W|$)")


def escape(text: str) -> str:
    """Plain text as reST that renders as the same text."""
    return _TRAILING_UNDERSCORE.sub(r"\\_", _SPECIAL.sub(r"\\\1", text))


def paragraphs(text: str) -> list[str]:
    """The blank-line separated paragraphs of an argparse text, each on one line (a word that
    the wrapping broke after its hyphen is joined again)."""
    text = re.sub(r"(?<=[A-Za-z]-)\n\s*(?=[A-Za-z])", "", text.strip())
    return [" ".join(p.split()) for p in re.split(r"\n\s*\n", text) if p.strip()]


def epilog_rst(text: str) -> list[str]:
    """An epilog: 'example:' headings with indented command lines become literal blocks."""
    out: list[str] = []
    for block in re.split(r"\n\s*\n", text.strip()):
        lines = block.splitlines()
        if (
            lines
            and lines[0].rstrip().endswith(":")
            and all(line.startswith("  ") for line in lines[1:] if line.strip())
            and len(lines) > 1
        ):
            heading = lines[0].rstrip()[:-1]
            out += [
                f"{escape(heading[:1].upper() + heading[1:])}:",
                "",
                ".. code-block:: console",
                "",
            ]
            out += ["   $ " + line.strip() for line in lines[1:] if line.strip()]
            out.append("")
        else:
            out += [escape(paragraphs(block)[0]), ""]
    return out


def usage(parser: argparse.ArgumentParser) -> list[str]:
    """The usage lines as argparse wraps them."""
    lines = parser.format_usage().rstrip().splitlines()
    return [".. code-block:: text", "", *("   " + line for line in lines), ""]


def option_names(action: argparse.Action, formatter: argparse.HelpFormatter) -> str:
    if not action.option_strings:
        (metavar,) = formatter._metavar_formatter(action, action.dest)(1)
        return metavar
    if action.nargs == 0:
        return ", ".join(action.option_strings)
    args = formatter._format_args(action, formatter._get_default_metavar_for_optional(action))
    return ", ".join(f"{name} {args}" for name in action.option_strings)


def option_help(action: argparse.Action, formatter: argparse.HelpFormatter) -> str:
    if not action.help:
        return ""
    text = formatter._expand_help(action)
    if action.choices is not None and "{" not in option_names(action, formatter):
        text += " (one of: " + ", ".join(map(str, action.choices)) + ")"
    return escape(" ".join(text.split()))


def actions_rst(parser: argparse.ArgumentParser) -> list[str]:
    formatter = parser._get_formatter()
    out: list[str] = []
    for group in parser._action_groups:
        actions = [
            a
            for a in group._group_actions
            if a.help is not argparse.SUPPRESS and not isinstance(a, argparse._SubParsersAction)
        ]
        if not actions:
            continue
        title = group.title or "arguments"
        out += [f"**{escape(title[:1].upper() + title[1:])}**", ""]
        for action in actions:
            out += [f".. option:: {option_names(action, formatter)}", ""]
            text = option_help(action, formatter)
            if text:
                out += ["   " + line for line in textwrap.wrap(text, 90)]
            out.append("")
    return out


def subcommands(parser: argparse.ArgumentParser) -> list[tuple[str, str, argparse.ArgumentParser]]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            helps = {a.dest: a.help or "" for a in action._choices_actions}
            return [(name, helps.get(name, ""), p) for name, p in action.choices.items()]
    return []


class CliReference(SphinxDirective):
    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        module_name, _, attribute = self.arguments[0].partition(":")
        module = importlib.import_module(module_name)
        self.env.note_dependency(module.__file__ or "")
        parser: argparse.ArgumentParser = getattr(module, attribute)()
        prog = parser.prog
        lines: list[str] = [f".. program:: {prog}", ""]
        lines += usage(parser)
        for p in paragraphs(parser.description or ""):
            lines += [escape(p), ""]
        lines += actions_rst(parser)
        subs = subcommands(parser)
        if subs:
            lines += ["Subcommands:", ""]
            lines += [
                f"- :ref:`{prog} {name} <cli-{name}>`: {escape(summary)}"
                for name, summary, _ in subs
            ]
            lines.append("")
        for name, summary, sub in subs:
            title = f"{prog} {name}"
            lines += [f".. _cli-{name}:", "", title, "-" * len(title), ""]
            lines += [f".. program:: {prog} {name}", ""]
            lines += usage(sub)
            for p in paragraphs(sub.description or summary):
                lines += [escape(p), ""]
            lines += actions_rst(sub)
            if sub.epilog:
                lines += epilog_rst(sub.epilog)
        return nested_parse_to_nodes(
            self.state,
            "\n".join(lines),
            source=f"<cli-reference {prog}>",
            allow_section_headings=True,
        )


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("cli-reference", CliReference)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
