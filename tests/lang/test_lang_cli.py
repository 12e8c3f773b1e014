"""The compile, fmt, check and decompile commands: outputs, exit statuses
and diagnostics."""

from __future__ import annotations

import json
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from korvanthel_tools import _native
from korvanthel_tools.commands.cli import main
from lang_support import EXAMPLES, canonical

GOOD = 'policy "p" severity high\n\nrule 1 on tool_call {\n  when event.tool == "shell"\n  deny "no"\n}\n'
UGLY = 'policy  p severity high  // why\nrule 1 on tool_call{ when (event.tool=="shell") deny "no" }\n'
UGLY_FORMATTED = (
    'policy "p" severity high // why\n\nrule 1 on tool_call {\n  when event.tool == "shell"\n  deny "no"\n}\n'
)
BAD = 'policy "p" severity high\n\nrule 1 {\n  when event.cmd.startswith("rm")\n}\n'
PLACE = re.compile(r"^\S+:\d+:\d+: error: ", re.MULTILINE)


def write(path: Path, text: str | bytes) -> Path:
    if isinstance(text, str):
        text = text.encode()
    path.write_bytes(text)
    return path


def test_compile_writes_container_and_json(tmp_path: Path) -> None:
    src = write(tmp_path / "p.zelvo", GOOD)
    assert main(["compile", str(src)]) == 0
    container = (tmp_path / "p.zelvoc").read_bytes()
    assert struct.unpack_from("<I", container)[0] == 0x015C91AE
    assert main(["compile", str(src), "-o", str(tmp_path / "p.json")]) == 0
    text = (tmp_path / "p.json").read_text()
    assert text.endswith("}\n") and canonical(text) == canonical(container)
    assert json.loads(text)["rules"][0]["id"] == 1


def test_compile_error_exit_1_with_rendered_diagnostic(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    src = write(tmp_path / "bad.zelvo", BAD)
    out = tmp_path / "bad.zelvoc"
    assert main(["compile", str(src), "-o", str(out)]) == 1
    assert not out.exists()
    err = capsys.readouterr().err
    assert err.startswith(f"{src}:4:")
    assert "startswith" in err and "^" in err


@pytest.mark.parametrize(
    "argv",
    [["compile"], ["compile", "a", "b"], ["fmt"], ["check"], ["decompile"], ["compile", "x", "--bogus"]],
)
def test_usage_errors_exit_2(argv: list[str]) -> None:
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert info.value.code == 2


def test_unreadable_source_exit_2(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["compile", str(tmp_path / "missing.zelvo")]) == 2
    assert "missing.zelvo" in capsys.readouterr().err


def test_fmt_rewrites_and_check_lists(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    ugly = write(tmp_path / "ugly.zelvo", UGLY)
    good = write(tmp_path / "good.zelvo", GOOD)
    assert main(["fmt", "--check", str(ugly), str(good)]) == 1
    assert capsys.readouterr().out == f"{ugly}\n"
    assert ugly.read_text() == UGLY
    assert main(["fmt", str(ugly), str(good)]) == 0
    assert ugly.read_text() == UGLY_FORMATTED
    assert good.read_text() == GOOD
    assert main(["fmt", "--check", str(ugly), str(good)]) == 0


def test_fmt_of_a_broken_file_changes_nothing(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    bad = write(tmp_path / "bad.zelvo", BAD)
    assert main(["fmt", str(bad)]) == 1
    assert bad.read_text() == BAD
    assert PLACE.search(capsys.readouterr().err)


def test_decompile_prints_source(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["decompile", str(EXAMPLES / "guard_policy.zelvoc")]) == 0
    printed = capsys.readouterr().out
    assert canonical(_native.compile_policy(printed)) == canonical((EXAMPLES / "guard_policy.json").read_bytes())
    broken = write(tmp_path / "broken.json", '{"name": "x"}')
    assert main(["decompile", str(broken)]) == 1
    assert "missing field `severity`" in capsys.readouterr().err


def test_check_exit_status(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["check", str(write(tmp_path / "good.zelvo", GOOD))]) == 0
    assert main(["check", str(write(tmp_path / "bad.zelvo", BAD))]) == 1
    assert PLACE.search(capsys.readouterr().err)
    schema = write(tmp_path / "schema.json", "{not json")
    assert main(["check", "--schema", str(schema), str(tmp_path / "good.zelvo")]) == 2


def test_acceptance_compiled_example_runs_the_demo_like_the_checked_in_container(tmp_path: Path) -> None:
    out = tmp_path / "p.zelvoc"
    assert main(["compile", str(EXAMPLES / "guard_policy.zelvo"), "-o", str(out)]) == 0
    demo = [sys.executable, str(EXAMPLES / "guard_demo.py")]
    ours = subprocess.run([*demo, str(out)], capture_output=True, text=True, check=True, timeout=60)
    shipped = subprocess.run(demo, capture_output=True, text=True, check=True, timeout=60)
    assert ours.stdout.replace(str(out), "P") == shipped.stdout.replace(str(EXAMPLES / "guard_policy.zelvoc"), "P")
