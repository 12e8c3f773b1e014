"""Shared helpers: a small policy written to a temporary folder, and the
``korvanthel`` command run in-process with its output captured."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

from korvanthel_tools.commands.cli import main

SMALL_POLICY = """\
policy "small" severity low

rule 7 on file_read {
  when event.path.starts_with("/etc/")
  deny "system file: " + event.path
  log(path: event.path)
}

rule 8 on file_read {
  when event.size > 100
  audit "big read"
}

rule 9 on tool_call {
  allow
}

rate_limit file_read 2 per 1s

machine 1 watch invariant no_shadow never {
  state idle
  state bad violated
  violating bad
  transition idle -> bad when event.path == "/etc/shadow"
}
"""


def write_lines(path: Path, lines: list[Any]) -> Path:
    path.write_text("".join((line if isinstance(line, str) else json.dumps(line)) + "\n" for line in lines))
    return path


@pytest.fixture
def small_policy(tmp_path: Path) -> Path:
    path = tmp_path / "small.zelvo"
    path.write_text(SMALL_POLICY)
    return path


def run_cli(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err
