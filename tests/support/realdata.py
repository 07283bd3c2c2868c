"""Where the real-data corpus lives: ../shared/realdata beside the repository
(or $BITLOOM_REALDATA), and a pytest mark that skips a test without it."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

REALDATA = Path(
    os.environ.get("BITLOOM_REALDATA", Path(__file__).resolve().parents[3] / "shared" / "realdata")
)

needs_realdata = pytest.mark.skipif(
    not REALDATA.is_dir(), reason=f"the real-data corpus is not at {REALDATA}"
)
