import sys
from pathlib import Path

import pytest
import tarnwick

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "examples"))


@pytest.fixture
def store(tmp_path: Path) -> Path:
    return tmp_path / "store"


@pytest.fixture
def manager(store: Path) -> tarnwick.TarnwickManager:
    return tarnwick.TarnwickManager(str(store), async_save=False)


@pytest.fixture
def async_manager(store: Path) -> tarnwick.TarnwickManager:
    return tarnwick.TarnwickManager(str(store), async_save=True)
