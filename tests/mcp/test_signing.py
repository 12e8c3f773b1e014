"""Signed policies: keygen, sign and verify on the command line, and a
guard (the proxy, ``Guard``, an adapter) that refuses a policy whose
signature does not verify before it serves anything."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from korvanthel_tools.adapters import as_guard
from korvanthel_tools.guarding import Guard, PolicyLoadError
from proxy_support import TIMEOUT, RawClient, environment, proxy_argv, raw_proxy, recorded


def korvanthel(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "korvanthel_tools", *args], capture_output=True, text=True,
                          timeout=TIMEOUT, env=environment(Path("/dev/null")))


@pytest.fixture
def keys(tmp_path: Path) -> dict[str, Path]:
    found = {}
    for name in ("ours", "theirs"):
        key = tmp_path / f"{name}.key"
        made = korvanthel("keygen", str(key))
        assert made.returncode == 0, made.stderr
        assert key.stat().st_mode & 0o777 == 0o600
        found[name] = key
    return found


def test_sign_and_verify(policy: Path, keys: dict[str, Path], tmp_path: Path) -> None:
    signed = korvanthel("sign", str(policy), "--key", str(keys["ours"]))
    assert signed.returncode == 0, signed.stderr
    assert Path(f"{policy}.sig").exists()
    assert korvanthel("verify", str(policy), "--key", f"{keys['ours']}.pub").returncode == 0
    other = korvanthel("verify", str(policy), "--key", f"{keys['theirs']}.pub")
    assert other.returncode == 1 and "does not verify" in other.stderr
    # One byte changed after signing.
    changed = tmp_path / "changed.json"
    changed.write_bytes(policy.read_bytes().replace(b"shell access", b"shell accesS"))
    Path(f"{changed}.sig").write_bytes(Path(f"{policy}.sig").read_bytes())
    assert korvanthel("verify", str(changed), "--key", f"{keys['ours']}.pub").returncode == 1
    # What the engine refuses is not signed; a private key is not a public one.
    garbage = tmp_path / "source.txt"
    garbage.write_text("policy p {}")
    assert korvanthel("sign", str(garbage), "--key", str(keys["ours"])).returncode == 2
    assert korvanthel("verify", str(policy), "--key", str(keys["ours"])).returncode == 2
    assert korvanthel("keygen", str(keys["ours"])).returncode == 2  # never overwrites a key


def test_unverified_policy_is_refused_before_serving(policy: Path, keys: dict[str, Path], record: Path) -> None:
    assert korvanthel("sign", str(policy), "--key", str(keys["theirs"])).returncode == 0
    refused = RawClient(proxy_argv(policy, "--verify-key", f"{keys['ours']}.pub", server=["true"]), environment(record))
    status, out, err = refused.finish()
    refused.kill()
    assert (status, out) == (2, "") and "the signature does not verify with" in err
    with pytest.raises(PolicyLoadError, match="does not verify"):
        Guard.from_path(str(policy), verify_key=f"{keys['ours']}.pub")
    with pytest.raises(PolicyLoadError, match="does not verify"):
        as_guard(policy, verify_key=f"{keys['ours']}.pub")
    assert Guard.from_path(str(policy), verify_key=f"{keys['theirs']}.pub").policy_name == "mcp-test-guard"
    with raw_proxy(policy, record, "--verify-key", f"{keys['theirs']}.pub") as proxy:
        proxy.initialize()
        assert "result" in proxy.request(1, "tools/call", {"name": "read_file", "arguments": {"path": "notes.txt"}})
        status, _, _ = proxy.finish()
    assert status == 0 and len(recorded(record)) == 1
