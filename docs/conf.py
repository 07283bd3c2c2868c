"""Sphinx configuration of the bitloom documentation (built with -W in CI)."""

import bitloom_bulk

project = "bitloom"
author = "bitloom developers"
copyright = "bitloom developers"
release = bitloom_bulk.__version__
version = release

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "signature"

html_theme = "alabaster"
html_title = f"bitloom {release}"
