"""The two example agents run as scripts and show the guard at work."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize(("script", "framework"), [
    ("guard_openai_agents.py", "agents"), ("guard_langchain.py", "langchain.agents")])
def test_example_agent_is_stopped_by_the_policy(script: str, framework: str) -> None:
    pytest.importorskip(framework)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(EXAMPLES.parent), os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run([sys.executable, str(EXAMPLES / script)], capture_output=True, text=True, timeout=120,
                          env=env, check=False)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].endswith("standup at 10") and lines[1].endswith("API_TOKEN=SECRET-42")
    assert "no_upload_after_secret" in lines[2]
    assert "destructive shell commands are not allowed" in lines[3]
    assert lines[4].startswith("final: ")
