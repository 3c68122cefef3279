"""Sphinx configuration of the quorvane-ellipsoid documentation.

Built from the installed package (``make docs``, or ``scripts/docs.sh PYTHON``): the API
reference is read from the compiled module and the Python modules that the interpreter running
Sphinx imports, the figures from ``bench/results/``; ``sphinx-build -b doctest`` runs every
example of the pages (``_ext/examples.py`` adds the shell sessions and example files).
"""

from __future__ import annotations

import doctest
import importlib
import sys
from importlib import metadata
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

# Autodoc imports a compiled module that nothing has imported yet from its .pyi stub, and leaves
# the stub in sys.modules: a module imported after it (frames, whose loops take the compiled
# Ellipsoid type) would find the stub's Python class there. The compiled modules are imported
# here, before autodoc, so that it documents them and everything else finds them.
importlib.import_module("quorvane.mathtools.vectools.vectools")
for _compiled in ("ellipsoid", "_frames", "_geodesic", "_fast"):
    importlib.import_module(f"quorvane.mathtools.ellipsoid.{_compiled}")

project = "quorvane-ellipsoid"
author = "the quorvane developers"
copyright = "the quorvane developers"
release = metadata.version("quorvane-ellipsoid")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",
    "sphinx.ext.autosummary",
    "apiref",
    "sphinxarg.ext",
    "sphinx.ext.doctest",
    "examples",
]

root_doc = "index"
exclude_patterns = ["_build", "Thumbs.db", ".DS_Store"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
templates_path = ["_templates"]
default_role = "py:obj"
smartquotes = False  # "--degrees" stays two hyphens, quotes stay straight
nitpicky = True
# Names outside this site: no inventories of other projects are fetched (the build is offline).
nitpick_ignore_regex = [
    ("py:.*", r"(numpy|np|dask|da|dd|pandas|pd|pyarrow|distributed)\..*"),
    ("py:.*", r"(argparse|collections|numbers|os|pathlib|types|typing)\..*"),  # the stdlib
    ("py:.*", r"(ndarray|double|dtype|Any|Callable|Sequence|Mapping|ArrayLike|DataFrame|Array)"),
    ("py:.*", r"(ndarray|dtype)\[.*"),
    ("py:.*", r"_[A-Za-z]\w*"),  # private type aliases of signatures
]

autodoc_default_options = {"member-order": "bysource"}
autodoc_typehints = "signature"
autodoc_docstring_signature = True
autodoc_preserve_defaults = True
# The modules' private aliases of their annotations, as a reader knows them.
autodoc_type_aliases = {
    "_Reals": "numpy.typing.ArrayLike",
    "_Vectors": "numpy.ndarray",
    "_Records": "numpy.ndarray",
    "_Array": "numpy.ndarray",
}
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
napoleon_use_param = False  # parameter types are prose ("ndarray, shape (N, 3)"), not names

# The examples run by the doctest builder (scripts/docs.sh): each page's in a scratch directory
# of its own (_ext/examples.py), with "..." matching anything; exception details are compared
# in full, as the pages show the exact messages.
doctest_global_setup = "from examples import Page as _Page\n_page = _Page()"
doctest_global_cleanup = "_page.close()"
doctest_default_flags = doctest.ELLIPSIS
doctest_show_successes = False

sphinxarg_full_subcommand_name = True

myst_heading_anchors = 3
suppress_warnings = ["myst.header"]

html_theme = "furo"
html_title = f"quorvane-ellipsoid {release}"
html_static_path: list[str] = []
html_show_sourcelink = False
html_copy_source = False
