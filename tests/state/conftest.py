from __future__ import annotations

import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

# The guard and proxy helpers of the MCP tests (policies, processes).
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "mcp"))

from redis_support import RedisServer  # noqa: E402


@pytest.fixture
def redis_server(tmp_path: Path) -> Iterator[RedisServer]:
    directory = tmp_path / "redis"
    directory.mkdir()
    server = RedisServer(directory, appendonly=True)
    server.start()
    try:
        yield server
    finally:
        server.stop()
