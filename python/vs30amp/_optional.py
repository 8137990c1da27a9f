"""Optional dependencies: imported when first needed, with an error naming the extra."""

import importlib
from types import ModuleType


def require(module: str, extra: str, what: str) -> ModuleType:
    """Imports `module`; if that fails, ImportError saying which extra of vs30amp provides it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{what} needs {module.split('.')[0]}: pip install 'vs30amp[{extra}]'") from error
