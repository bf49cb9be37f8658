"""Sphinx configuration of ombrix's documentation (``make docs`` builds it)."""

import ombrix

project = "ombrix"
copyright = "the ombrix developers"
version = release = ombrix.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
]

exclude_patterns = ["_build"]
templates_path = ["_templates"]

# `name` in a docstring links to the object when there is one, and is set in
# code font otherwise (parameter names).
default_role = "autolink"
autosummary_generate = True
# The docstrings state the types; signatures stay short.
autodoc_typehints = "none"
autodoc_member_order = "bysource"
# numpydoc lists each docstring's own sections; members get their own pages.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

html_theme = "pydata_sphinx_theme"
html_title = f"ombrix {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
html_static_path = []
# The pages without sections of their own need no left sidebar.
html_sidebars = {page: [] for page in ("index", "getting_started", "from_scipy", "examples")}
