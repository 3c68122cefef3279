"""The API reference: one page per public module, found by walking the installed package.

Before the sources are read, ``reference/api/<module>.rst`` is written for every public module
of ``quorvane`` (no part of its dotted name starts with an underscore; the command-line tool's
package is left to its own reference, built from its parser). Each page holds the module's
docstring and an autodoc entry for every name in its ``__all__`` (or, without ``__all__``, every
class and function it defines). Names a module only re-exports are linked to where they are
defined, not documented twice. A new module or function appears at the next build, with no
page to write.

When the build is done, every documented name is looked up in the Python domain: one that
autodoc skipped (no docstring, an import error) is a warning, so ``-W`` fails the build.
"""

from __future__ import annotations

import importlib
import inspect
import pkgutil
import types
from pathlib import Path

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util import logging

logger = logging.getLogger(__name__)

ROOT = "quorvane"
SKIP = ("quorvane.mathtools.ellipsoid.cli", "quorvane.mathtools.ellipsoid.__main__")
OUT = Path("reference") / "api"


def public_modules() -> list[types.ModuleType]:
    root = importlib.import_module(ROOT)
    names = [ROOT] + [m.name for m in pkgutil.walk_packages(root.__path__, prefix=ROOT + ".")]
    found = []
    for name in sorted(names):
        if any(part.startswith("_") for part in name.split(".")):
            continue
        if any(name == s or name.startswith(s + ".") for s in SKIP):
            continue
        found.append(importlib.import_module(name))
    return [m for m in found if own_members(m) or reexports(m)]


def exported(module: types.ModuleType) -> list[str]:
    if hasattr(module, "__all__"):
        return list(module.__all__)
    return [
        n
        for n, obj in vars(module).items()
        if not n.startswith("_")
        and (inspect.isclass(obj) or callable(obj))
        and getattr(obj, "__module__", None) == module.__name__
    ]


def _home(module: types.ModuleType, name: str) -> str | None:
    """Where a re-exported name is defined, or None if ``module`` defines it."""
    obj = getattr(module, name)
    if isinstance(obj, types.ModuleType):
        return obj.__name__
    home = getattr(obj, "__module__", None)
    qualname = getattr(obj, "__qualname__", None)
    if (inspect.isclass(obj) or inspect.isroutine(obj)) and home and home != module.__name__:
        return f"{home}.{qualname}"
    return None


def own_members(module: types.ModuleType) -> list[str]:
    return [n for n in exported(module) if _home(module, n) is None]


def reexports(module: types.ModuleType) -> dict[str, str]:
    out = {}
    for n in exported(module):
        home = _home(module, n)
        if home is not None:
            out[n] = home
    return out


def directive(module: types.ModuleType, name: str) -> str:
    obj = getattr(module, name)
    if inspect.isclass(obj):
        return "autoclass"
    if inspect.isroutine(obj):
        return "autofunction"
    return "autodata"


def class_members(cls: type) -> list[str]:
    """Options and content of an ``autoclass``: the members in the order the class defines
    them (a compiled class has no source for autodoc's ``bysource`` to read)."""
    try:
        has_source = inspect.getsourcefile(cls) is not None
    except TypeError:
        has_source = False
    if has_source:
        return ["   :members:", "   :member-order: bysource"]
    lines = [""]
    for attr, value in vars(cls).items():
        if attr.startswith("_") or not callable(value) or not getattr(value, "__doc__", None):
            continue
        lines.append(f"   .. automethod:: {cls.__module__}.{cls.__qualname__}.{attr}")
    return lines


def page(module: types.ModuleType) -> str:
    name = module.__name__
    lines = [
        f"``{name}``",
        "=" * (len(name) + 4),
        "",
        f".. automodule:: {name}",
        "   :no-members:",
        "",
    ]
    links = reexports(module)
    if links:
        lines += ["Also available here, documented where they are defined:", ""]
        for alias, home in links.items():
            role = (
                ":py:mod:" if isinstance(getattr(module, alias), types.ModuleType) else ":py:obj:"
            )
            lines.append(f"- ``{alias}``: {role}`{home}`")
        lines.append("")
    for member in own_members(module):
        lines.append(f".. {directive(module, member)}:: {name}.{member}")
        if directive(module, member) == "autoclass":
            lines += class_members(getattr(module, member))
        lines.append("")
    return "\n".join(lines)


def write_pages(app: Sphinx) -> None:
    out = Path(app.srcdir) / OUT
    out.mkdir(parents=True, exist_ok=True)
    modules = public_modules()
    wanted = {f"{m.__name__}.rst": page(m) for m in modules}
    for stale in out.glob("*.rst"):
        if stale.name not in wanted:
            stale.unlink()
    for filename, text in wanted.items():
        path = out / filename
        if not path.exists() or path.read_text() != text:  # untouched pages are not re-read
            path.write_text(text)
    app.env.quorvane_public_modules = [m.__name__ for m in modules]


def check_documented(app: Sphinx, env: object) -> None:
    objects = app.env.domains["py"].objects
    for name in getattr(app.env, "quorvane_public_modules", []):
        module = importlib.import_module(name)
        for member in own_members(module):
            if f"{name}.{member}" not in objects:
                logger.warning(
                    f"{name}.{member} is public but missing from the API reference",
                    type="apiref",
                )


def resolve_short_name(app: Sphinx, env: object, node: nodes.Element, contnode: nodes.Node):
    """Docstrings name the type as ``Ellipsoid`` and its methods as ``Ellipsoid.lla_from_pos``
    (as a reader would); resolve such a name to the one object of the site it ends with."""
    if node.get("refdomain") != "py":
        return None
    target = node["reftarget"].lstrip("~.")
    domain = app.env.domains["py"]
    matches = [name for name in domain.objects if name == target or name.endswith("." + target)]
    if len(matches) != 1:
        return None
    found = domain.resolve_any_xref(
        app.env, node.get("refdoc", ""), app.builder, matches[0], node, contnode
    )
    return found[0][1] if found else None


# The compiled module's methods are objects of its own descriptor type (as Cython's are of
# ``cython_function_or_method``); autodoc would take them for attributes and leave them out.
COMPILED_METHOD_TYPES = {"ellipsoid_method"}


def _recognise_compiled_methods() -> None:
    from sphinx.util import inspect as sphinx_inspect

    original = sphinx_inspect.isattributedescriptor
    if getattr(original, "_quorvane", False):
        return

    def isattributedescriptor(obj: object) -> bool:
        if type(obj).__name__ in COMPILED_METHOD_TYPES:
            return False
        return original(obj)

    isattributedescriptor._quorvane = True  # type: ignore[attr-defined]
    sphinx_inspect.isattributedescriptor = isattributedescriptor


# Napoleon reads the first line of a data docstring as "type: description", so the doc comment
# "#: The largest flattening served: the series lose accuracy beyond it." would lose its first
# half to a type. The module's data are documented in prose: keep their text as written.
_PROSE = ("data", "attribute")


def _keep_data_docstring(app: Sphinx, what: str, name: str, obj: object, options, lines) -> None:
    if what in _PROSE:
        app.env.temp_data.setdefault("quorvane_prose", {})[name] = list(lines)


def _restore_data_docstring(app: Sphinx, what: str, name: str, obj: object, options, lines):
    kept = app.env.temp_data.get("quorvane_prose", {}).pop(name, None)
    if what in _PROSE and kept is not None:
        lines[:] = kept


def _drop_self(app: Sphinx, what: str, name: str, obj, options, signature, return_annotation):
    """The compiled methods' docstring signatures start with ``self``, which a method's entry
    does not show."""
    if what == "method" and signature and signature.startswith("(self"):
        signature = "(" + signature[len("(self") :].removeprefix(",").lstrip()
    return signature, return_annotation


def setup(app: Sphinx) -> dict[str, object]:
    _recognise_compiled_methods()
    app.connect("autodoc-process-signature", _drop_self)
    app.connect("autodoc-process-docstring", _keep_data_docstring, priority=100)
    app.connect("autodoc-process-docstring", _restore_data_docstring, priority=900)
    app.connect("builder-inited", write_pages)
    app.connect("missing-reference", resolve_short_name)
    app.connect("env-check-consistency", check_documented)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
