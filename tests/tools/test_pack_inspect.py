"""``korvanthel pack`` and ``korvanthel inspect``, and the container header."""

from __future__ import annotations

import struct
from collections.abc import Callable
from pathlib import Path

import pytest

from _korvanthel_core import PolicyEngine
from korvanthel_tools.container import MAX_PAYLOAD_LENGTH, encode_container, read_header
from korvanthel_tools.guarding.source_hash import source_hash

from tools_support import EXAMPLES, Run, cli, policy_json


def test_header_layout_is_little_endian_magic_version_reserved_length() -> None:
    container = encode_container(b"{}", reserved=0xBEEF)
    assert container[:12] == bytes.fromhex("AE915C01" "0100" "EFBE" "02000000")
    assert container[12:] == b"{}"
    header = read_header(container)
    assert header is not None
    assert (header.magic_ok, header.format_version, header.reserved, header.payload_length) == (True, 1, 0xBEEF, 2)


@pytest.mark.parametrize("reserved", [-1, 0x10000])
def test_reserved_must_fit_sixteen_bits(reserved: int) -> None:
    with pytest.raises(ValueError, match="16 bits"):
        encode_container(b"{}", reserved=reserved)


def test_payload_over_four_gibibytes_is_refused() -> None:
    class Huge(bytes):
        def __len__(self) -> int:
            return MAX_PAYLOAD_LENGTH + 1

    with pytest.raises(ValueError, match="exceeds the container's limit"):
        encode_container(Huge(b""))


def test_read_header_of_short_data_is_none() -> None:
    assert read_header(bytes(11)) is None


def test_pack_then_inspect_round_trip(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    out = tmp_path / "packed.zelvoc"
    packed = cli("pack", policy_json, "-o", out)
    assert packed.status == 0, packed.err
    assert packed.out == f"packed {policy_json} -> {out}: policy 'tools-test', {policy_json.stat().st_size} payload bytes\n"

    data = out.read_bytes()
    assert data[12:] == policy_json.read_bytes()
    assert struct.unpack_from("<IHHI", data) == (0x015C91AE, 1, 0, len(data) - 12)
    assert PolicyEngine.from_file(str(out)).policy_name == "tools-test"

    shown = cli("inspect", out)
    assert shown.status == 0, shown.err
    assert shown.out.splitlines() == [
        f"File: {out} ({len(data)} bytes)",
        "magic:          0x015C91AE (ok)",
        "format_version: 1 (ok)",
        "reserved:       0",
        f"payload_length: {len(data) - 12} ({len(data) - 12} bytes follow the header)",
        "source_hash:    7",
        "Status:",
        "  Policy: tools-test (Medium)",
        "  Rules: 4",
        "  State machines: 1 total (1 active, 0 satisfied, 0 violated)",
        "  Constraints: 1",
        "  Events processed: 0",
    ]


def test_pack_defaults_the_output_name_next_to_the_policy(cli: Callable[..., Run], policy_json: Path) -> None:
    assert cli("pack", policy_json).status == 0
    assert PolicyEngine.from_bytes(policy_json.with_suffix(".zelvoc").read_bytes()).policy_name == "tools-test"


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b'{"name": "x"', "Invalid policy JSON: EOF while parsing an object at line 1 column 12"),
        (b'{"name": "x"}', "Invalid policy JSON: missing field `severity` at line 1 column 13"),
        (b"", "Invalid policy JSON: EOF while parsing a value at line 1 column 0"),
        (b'{"name": "\xff"}', "not UTF-8 text (byte 10: invalid start byte)"),
    ],
    ids=["truncated", "missing-field", "empty", "not-utf8"],
)
def test_pack_refuses_text_that_does_not_load_and_keeps_the_old_output(
    cli: Callable[..., Run], tmp_path: Path, content: bytes, message: str
) -> None:
    source = tmp_path / "bad.json"
    source.write_bytes(content)
    out = tmp_path / "bad.zelvoc"
    out.write_bytes(b"previous container")

    run = cli("pack", source, "-o", out)

    assert run.status == 2
    assert run.out == ""
    assert run.err.startswith("korvanthel pack: error: ")
    assert run.err.rstrip("\n").endswith(message)
    assert out.read_bytes() == b"previous container"
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".korvanthel-")] == []


def test_pack_of_a_missing_file_is_an_error(cli: Callable[..., Run], tmp_path: Path) -> None:
    run = cli("pack", tmp_path / "absent.json")
    assert run.status == 2
    assert run.err == f"korvanthel pack: error: {tmp_path / 'absent.json'}: No such file or directory\n"


@pytest.mark.parametrize(
    ("data", "header_line", "engine_message"),
    [
        (bytes(5), "Header: truncated (5 of 12 bytes)",
         "Failed to load policy: not a valid .zelvoc file (bad magic bytes)"),
        (b'\x7b\x22\x6e\x61\x00 not text', "magic:          0x616E227B (bad: not a .zelvoc container)",
         "Failed to load policy: not a valid .zelvoc file (bad magic bytes)"),
        (encode_container(b"{}", format_version=2), "format_version: 2 (unsupported)",
         "Failed to load policy: unsupported format version 2 (expected 1)"),
        (encode_container(b"{}", payload_length=9), "payload_length: 9 (2 bytes follow the header)",
         "Failed to load policy: I/O error: failed to fill whole buffer"),
    ],
    ids=["short-bad-magic", "binary-not-container", "version-2", "payload-short"],
)
def test_inspect_shows_the_header_then_the_engines_refusal(
    cli: Callable[..., Run], tmp_path: Path, data: bytes, header_line: str, engine_message: str
) -> None:
    path = tmp_path / "broken.zelvoc"
    path.write_bytes(data)
    run = cli("inspect", path)
    assert run.status == 2
    assert header_line in run.out.splitlines()
    assert "Status:" not in run.out
    assert run.err == f"korvanthel inspect: error: {engine_message}\n"


def test_inspect_reports_trailing_bytes(cli: Callable[..., Run], policy_json: Path, tmp_path: Path) -> None:
    path = tmp_path / "extra.zelvoc"
    path.write_bytes(encode_container(policy_json.read_bytes()) + b"tail")
    run = cli("inspect", path)
    assert run.status == 0
    assert "trailing bytes: 4 (not read)" in run.out.splitlines()


@pytest.mark.parametrize(("name", "form"), [("guard_policy.json", "policy JSON"),
                                            ("guard_policy.zelvo", "policy source (compiled here)")])
def test_inspect_takes_policy_json_and_source(cli: Callable[..., Run], name: str, form: str) -> None:
    run = cli("inspect", EXAMPLES / name)
    assert run.status == 0, run.err
    lines = run.out.splitlines()
    assert lines[1:4] == [f"form:           {form}", f"source_hash:    {source_hash((EXAMPLES / 'guard_policy.zelvo').read_bytes())}", "Status:"]
    assert "  Policy: agent-guard (High)" in lines


def test_inspect_of_a_refused_json_policy_is_one_error_line(cli: Callable[..., Run], tmp_path: Path) -> None:
    path = tmp_path / "p.json"
    path.write_text('{"name": "x", "severity": "High"}', encoding="utf-8")
    run = cli("inspect", path)
    assert run.status == 2
    assert run.err.startswith(f"korvanthel inspect: error: {path}: Invalid policy JSON: missing field")
