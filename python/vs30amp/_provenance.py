"""What made a file: the CF-style attributes every output of the package carries."""

from __future__ import annotations

import datetime

from ._models import get_model
from ._version import __version__


def attributes(title: str, made_by: str, model: str | None = None, convention: str | None = None) -> dict[str, str]:
    """Conventions, title, source (the package's version), history (now and `made_by`, the
    command or function that wrote the file) and, for a model's output, its references, name
    and convention."""
    now = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    about = {"Conventions": "CF-1.8", "title": title, "source": f"vs30amp {__version__}",
             "history": f"{now}: {made_by}"}
    if model is not None:
        chosen = get_model(model)
        about |= {"references": chosen.reference, "model": chosen.name, "convention": convention or "module"}
    return about
