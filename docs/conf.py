"""Sphinx configuration of varnel's documentation.

Build (from the repository's root, after ``python -m pip install ".[docs]"``)::

    python -m sphinx -W --keep-going -n -b html docs docs/_build/html

The build reads nothing from the network: intersphinx is off, the gallery's
data sets ship with the installed packages, and matplotlib draws with Agg.
"""

import os
import warnings

import matplotlib

matplotlib.use("Agg")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import varnel  # noqa: E402

project = "varnel"
author = "varnel developers"
copyright = "varnel developers"
release = varnel.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "**.ipynb_checkpoints", "examples/GALLERY_HEADER.rst"]
templates_path = []

# Markdown pages: $...$ and $$...$$ math, heading anchors for links.
myst_enable_extensions = ["dollarmath", "colon_fence"]
myst_heading_anchors = 3

# API reference: autodoc + numpydoc.  Signatures without type hints (the
# parameter sections describe the types in words).
autosummary_generate = True
autodoc_typehints = "none"
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# No intersphinx: the build must work offline.  Third-party names that the
# docstrings mention in cross-references are listed here.
nitpick_ignore = [
    ("py:class", "numpy.ndarray"),
    ("py:class", "ndarray"),
    ("py:class", "sklearn.base.BaseEstimator"),
    ("py:class", "sklearn.base.RegressorMixin"),
    ("py:class", "sklearn.base.ClassifierMixin"),
    ("py:class", "sklearn.exceptions.ConvergenceWarning"),
    ("py:class", "UserWarning"),
    ("py:class", "typing.NamedTuple"),
    ("py:class", "tuple"),
    ("py:class", "sklearn.linear_model.ElasticNet"),
    ("py:class", "sklearn.linear_model.ElasticNetCV"),
    ("py:class", "sklearn.linear_model.LogisticRegression"),
    ("py:class", "sklearn.linear_model.PoissonRegressor"),
    ("py:class", "sklearn.linear_model.MultiTaskElasticNet"),
]

# Gallery: every example runs at build time; a failing example fails the build.
sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "abort_on_example_error": False,
    "only_warn_on_example_error": False,
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "min_reported_time": 0,
    "show_memory": False,
    "reset_modules": ("matplotlib",),
    "plot_gallery": "True",
}

html_theme = "furo"
html_title = f"varnel {release}"
html_static_path = []
html_show_sourcelink = False

# Warnings of third-party packages imported by the examples are not the
# documentation's.
warnings.filterwarnings("ignore", category=FutureWarning)
warnings.filterwarnings("ignore", category=DeprecationWarning)
