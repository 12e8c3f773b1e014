"""Coverage figures of the small policy, computed by hand, and the
threshold's exit status."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

from conftest import run_cli, write_lines

READ = "file_read"


def read(path: str, size: int, ts: int) -> dict[str, Any]:
    return {"type": READ, "fields": {"path": path, "size": size}, "ts": ts}


def test_coverage_figures(tmp_path: Path, small_policy: Path, capsys: pytest.CaptureFixture[str]) -> None:
    # Events and what they cover, by hand:
    #   /etc/hosts small : rule 7 fires (cond 7 true), cond 8 false
    #   /srv/a small     : cond 7 false, cond 8 false
    #   third read <1s   : rate limit exceeded; /srv/b big: rule 8 fires (cond 8 true)
    # rule 9 (tool_call) never selected, the shadow transition never taken.
    tests = write_lines(tmp_path / "t.test.jsonl", [
        {"case": "a"}, read("/etc/hosts", 1, 0), read("/srv/a", 1, 1), read("/srv/b", 500, 2),
    ])
    status, out, _ = run_cli(capsys, "test", str(small_policy), str(tests), "--coverage")
    assert status == 0
    assert out.splitlines() == [
        "1/1 cases passed",
        "coverage:",
        "  rule 7 (line 3): fired (1 events), condition seen true and false",
        "  rule 8 (line 9): fired (1 events), condition seen true and false",
        "  rule 9 (line 14): NEVER FIRED (0 events), no condition",
        "  machine 1 watch transition 0 idle -> bad (line 24): NEVER TAKEN, guard seen false",
        "  constraint 0 (file_read): exceeded 1 times",
        "  rules fired: 2/3 (66.7%)",
        "  conditions true and false: 2/2 (100.0%)",
        "  transitions taken: 0/1 (0.0%)",
        "  guards true and false: 0/1 (0.0%)",
        "  constraints exceeded: 1/1 (100.0%)",
    ]


@pytest.mark.parametrize(
    ("threshold", "status", "last"),
    [
        ("66", 0, "  constraints exceeded: 0/1 (0.0%)"),
        ("66.7", 1, "rule coverage 66.7% is below the threshold 66.7%"),
        ("100", 1, "rule coverage 66.7% is below the threshold 100%"),
    ],
)
def test_threshold(
    tmp_path: Path, small_policy: Path, capsys: pytest.CaptureFixture[str], threshold: str, status: int, last: str
) -> None:
    # Rules 7 and 8 fire, rule 9 does not: 2 of 3.
    tests = write_lines(tmp_path / "t.test.jsonl", [{"case": "a"}, read("/etc/hosts", 1, 0), read("/srv/b", 500, 5000)])
    got, out, _ = run_cli(capsys, "test", str(small_policy), str(tests), "--threshold", threshold)
    assert (got, out.splitlines()[-1]) == (status, last)


def test_example_policy_reaches_full_coverage(capsys: pytest.CaptureFixture[str]) -> None:
    examples = Path(__file__).resolve().parents[2] / "examples"
    status, out, _ = run_cli(
        capsys, "test", str(examples / "guard_policy.zelvo"), str(examples / "guard_policy.test.jsonl"),
        "--coverage", "--threshold", "100",
    )
    assert status == 0, out
    assert "  rules fired: 6/6 (100.0%)" in out.splitlines()
    assert "  conditions true and false: 6/6 (100.0%)" in out.splitlines()
    assert "  transitions taken: 3/3 (100.0%)" in out.splitlines()
    assert "  machine 1 no_exfiltration_after_secret_read transition 0 before -> after (line 61): taken 1 times, " \
           "guard seen true and false" in out.splitlines()
