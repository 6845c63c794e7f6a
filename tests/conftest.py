import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "testbed"))

import winebed  # noqa: E402
import xscreen  # noqa: E402


@pytest.fixture
def bed():
    """A throwaway Wine prefix with a persistent server for the length of one test."""
    with winebed.WineBed() as b:
        yield b


@pytest.fixture
def build_win() -> Path:
    return winebed.BUILD_WIN


@pytest.fixture
def screen(bed):
    """A virtual screen (Xvfb) that shows the bed's windows; take it before running anything."""
    with xscreen.XScreen() as s:
        s.attach(bed)
        yield s
