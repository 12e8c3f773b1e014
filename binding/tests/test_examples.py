"""The shipped example: its container holds the policy of its JSON, and the
demo session gets the verdicts the README describes."""

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

from _korvanthel_core import PolicyEngine
from korvanthel_tools.container import FORMAT_VERSION, MAGIC, ContainerHeader, read_header

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def _load_module(name):
    module_spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_committed_container_is_current():
    # The container is compiled from guard_policy.zelvo (tests/lang checks
    # that it is exactly what the source compiles to); its payload is the
    # example JSON's policy, every field written out.
    container = (EXAMPLES / "guard_policy.zelvoc").read_bytes()
    payload = container[12:]
    assert read_header(container) == ContainerHeader(MAGIC, FORMAT_VERSION, 0, len(payload))
    assert json.loads(payload) == json.loads((EXAMPLES / "guard_policy.json").read_bytes())


def test_pack_policy_refuses_non_json(tmp_path):
    source = tmp_path / "broken.json"
    source.write_text("{not json")
    assert _load_module("pack_policy").main([str(source), str(tmp_path / "out.zelvoc")]) == 1
    assert not (tmp_path / "out.zelvoc").exists()


def test_demo_session_verdicts():
    demo = _load_module("guard_demo")
    engine = PolicyEngine.from_file(str(EXAMPLES / "guard_policy.zelvoc"))
    engine.set_config("blocked_hosts", ["paste.example.org"])
    verdicts = [engine.evaluate(event_type, fields)["verdict"] for event_type, fields, _ in demo.SESSION]
    assert verdicts == ["allow", "allow", "deny", "deny", "deny", "audit", "deny", "redact", "allow", "deny"]


def test_demo_runs():
    run = subprocess.run([sys.executable, str(EXAMPLES / "guard_demo.py")], capture_output=True, text=True, check=True)
    assert "Invariant violation: secrets_stay_local" in run.stdout
    assert "RateLimit exceeded: 11 events in 60000ms window (limit: 10)" in run.stdout
