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

# furo, and _static/code.css wrapping long code lines in the page width
# instead of cutting them.
html_theme = "furo"
html_static_path = ["_static"]
html_css_files = ["code.css"]
html_title = f"bitloom {release}"
