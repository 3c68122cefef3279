"""What the API reference needs beyond autodoc, autosummary and napoleon.

The pages are written by autosummary (``reference/api.rst``, the template in
``_templates/autosummary/module.rst``) and filled by autodoc from the modules' ``__all__``,
signatures and NumPy-style docstrings. Three gaps remain, which no standard extension closes:

- The compiled ``Ellipsoid`` methods are objects of the module's own descriptor type
  (``ellipsoid_method``, as Cython's are ``cython_function_or_method``); autodoc takes such
  descriptors for attributes. They are documented as methods, without the ``self`` that their
  docstring signatures carry.
- Napoleon reads the first line of a data docstring as ``type: description``, so the doc
  comment of ``GeodesicInverse_dtype`` ("The inverse geodesic problem's result: distance ...")
  would lose its first half to a type. Data are documented in prose: their text stays as written.
- Docstrings name the type as ``Ellipsoid`` and its methods as ``Ellipsoid.lla_from_pos``, as a
  reader would; the Python domain looks such names up only in the current module. A name that
  ends exactly one object of the site links to it.
"""

from __future__ import annotations

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util import inspect as sphinx_inspect

COMPILED_METHOD_TYPES = {"ellipsoid_method"}
_PROSE = ("data", "attribute")


def _recognise_compiled_methods() -> None:
    original = sphinx_inspect.isattributedescriptor
    if getattr(original, "_quorvane", False):
        return

    def isattributedescriptor(obj: object) -> bool:
        return type(obj).__name__ not in COMPILED_METHOD_TYPES and original(obj)

    isattributedescriptor._quorvane = True  # type: ignore[attr-defined]
    sphinx_inspect.isattributedescriptor = isattributedescriptor


def _drop_self(app, what, name, obj, options, signature, return_annotation):
    if what == "method" and signature and signature.startswith("(self"):
        signature = "(" + signature[len("(self") :].removeprefix(",").lstrip()
    return signature, return_annotation


def _keep_data_docstring(app: Sphinx, what: str, name: str, obj, options, lines) -> None:
    if what in _PROSE:
        app.env.temp_data.setdefault("quorvane_prose", {})[name] = list(lines)


def _restore_data_docstring(app: Sphinx, what: str, name: str, obj, options, lines) -> None:
    kept = app.env.temp_data.get("quorvane_prose", {}).pop(name, None)
    if what in _PROSE and kept is not None:
        lines[:] = kept


def _resolve_short_name(app: Sphinx, env, node: nodes.Element, contnode: nodes.Node):
    if node.get("refdomain") != "py":
        return None
    target = node["reftarget"].lstrip("~.")
    domain = env.domains["py"]
    matches = [name for name in domain.objects if name == target or name.endswith("." + target)]
    if len(matches) != 1:
        return None
    found = domain.resolve_any_xref(
        env, node.get("refdoc", ""), app.builder, matches[0], node, contnode
    )
    return found[0][1] if found else None


def setup(app: Sphinx) -> dict[str, object]:
    _recognise_compiled_methods()
    app.connect("autodoc-process-signature", _drop_self)
    app.connect("autodoc-process-docstring", _keep_data_docstring, priority=100)
    app.connect("autodoc-process-docstring", _restore_data_docstring, priority=900)
    app.connect("missing-reference", _resolve_short_name)
    return {"version": "2", "parallel_read_safe": True, "parallel_write_safe": True}
