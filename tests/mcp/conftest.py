from __future__ import annotations

from pathlib import Path

import pytest

from policies import guard_policy_json


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


@pytest.fixture
def policy(tmp_path: Path) -> Path:
    path = tmp_path / "policy.json"
    path.write_text(guard_policy_json())
    return path


@pytest.fixture
def limited_policy(tmp_path: Path) -> Path:
    path = tmp_path / "limited.json"
    path.write_text(guard_policy_json(rate_limit=2))
    return path


@pytest.fixture
def record(tmp_path: Path) -> Path:
    return tmp_path / "calls.jsonl"
