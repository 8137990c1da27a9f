"""Before Python 3.15 there is no _utils: only the package's tests run, the files that test
_utils itself (those importing it or its call helpers at the top) are not collected."""

import re
import sys
from pathlib import Path

collect_ignore = []
if sys.version_info < (3, 15):
    _UTILS_IMPORT = re.compile(r"^(import _utils|from call_helpers import|import call_helpers)", re.MULTILINE)
    collect_ignore = [path.name for path in Path(__file__).parent.glob("test_*.py")
                      if _UTILS_IMPORT.search(path.read_text())]
