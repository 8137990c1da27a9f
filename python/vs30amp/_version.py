"""The package's version (kept equal to pyproject.toml's)."""

__version__ = "0.1.0"
