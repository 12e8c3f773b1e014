"""Keying trace lines by place and session before a Dask replay, and naming
them back by file and line."""

from __future__ import annotations

import json
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pd = pytest.importorskip("pandas")
np = pytest.importorskip("numpy")
pytest.importorskip("pyarrow")
pytest.importorskip("dask")

from korvanthel_tools import _native  # noqa: E402
from korvanthel_tools.replay.dask_parts import ORDER_SHIFT, Inputs, deal  # noqa: E402
from korvanthel_tools.replay.native import relabel_line  # noqa: E402
from korvanthel_tools.replay.rows import row_to_line  # noqa: E402
from korvanthel_tools.replay.trace import join_inputs  # noqa: E402

SESSION = st.one_of(st.none(), st.text(max_size=6), st.integers(-5, 5), st.just(["a"]))
LINE = st.one_of(
    st.builds(lambda s, t: json.dumps({"type": t, "session": s}) if s is not None else json.dumps({"type": t}),
              SESSION, st.sampled_from(["tool_call", "x"])),
    st.sampled_from(["", "   ", "not json", "[1, 2]", '{"type": "x", "session": null}', '{"session": "a"',
                     '{"type": "x", "fields": {"session": "inner"}}']),
)


def dealt(data: bytes, parts: int, key: str | None) -> list[list[tuple[int, bytes]]]:
    """Each part's (line number, line) pairs as split_by_session deals them."""
    count, shares = deal(data, parts, key)
    assert count == len(data.split(b"\n")) - (1 if data.endswith(b"\n") or not data else 0)
    out = []
    for lines, numbers in shares:
        texts = lines.split(b"\n")
        assert texts.pop() == b""  # every line ends in a line feed
        out.append(list(zip(np.frombuffer(numbers, dtype=np.uint64).tolist(), texts)))
    return out


@settings(max_examples=120, deadline=None)
@given(lines=st.lists(LINE, max_size=12), key=st.sampled_from(["session", None]), parts=st.integers(1, 4),
       trailing=st.booleans())
def test_lines_are_dealt_whole_by_session(lines: list[str], key: str | None, parts: int, trailing: bool) -> None:
    """Every non-blank line lands in exactly one part with its number; lines
    of one session (as the replay reads it) land together; a line whose
    session cannot be read, and every line without a session key, in part 0."""
    data = "\n".join(lines).encode() + (b"\n" if trailing and lines else b"")
    got = dealt(data, parts, key)
    assert sorted(n for part in got for n, _ in part) == [i + 1 for i, t in enumerate(lines) if t.strip()]
    part_of_session: dict[Any, int] = {}
    for index, part in enumerate(got):
        assert [n for n, _ in part] == sorted(n for n, _ in part)  # in the trace's order
        for number, text in part:
            assert text == lines[number - 1].encode()
            try:
                session = _native.read_event_line(text, session_key=key)["session"] if key else None
            except _native.EventLineError:
                session = None
            if session is None:
                assert index == 0
            else:
                assert part_of_session.setdefault((type(session), session), index) == index


def test_blank_lines_are_dropped_but_keep_the_numbering() -> None:
    got = dealt(b'{"type": "a"}\n\n  \n{"type": "b"}', 1, "session")
    assert [n for n, _ in got[0]] == [1, 4]


@pytest.mark.parametrize(
    ("names", "order", "where"),
    [
        (("a.jsonl",), 7, (None, 7)),
        (("a.jsonl", "b.jsonl"), 7, ("a.jsonl", 7)),
        (("a.jsonl", "b.jsonl"), (1 << ORDER_SHIFT) + 2, ("b.jsonl", 2)),
        ((None,), 123, (None, 123)),
    ],
)
def test_orders_name_their_file_and_line(names: tuple[str | None, ...], order: int, where: tuple[str | None, int]) -> None:
    assert Inputs(names).locate(order) == where


@pytest.mark.parametrize(
    ("pieces", "number", "where"),
    [
        ([("a", b"x\ny\n"), ("b", b"z\n")], 3, ("b", 1)),
        ([("a", b"x\ny"), ("b", b"z\n")], 3, ("b", 1)),  # a file without a final line feed
        ([("a", b"x\n\n"), ("b", b"z\n")], 2, ("a", 2)),
        ([("a", b""), ("b", b"z\n")], 1, ("b", 1)),
        ([("a", b"x\n")], 1, (None, 1)),
    ],
)
def test_joined_files_are_numbered_through(pieces: list[tuple[str, bytes]], number: int, where: tuple[str | None, int]) -> None:
    trace = join_inputs(pieces)
    assert trace.locate(number) == where
    assert trace.data.count(b"\n") == sum(p.count(b"\n") + (1 if p and not p.endswith(b"\n") else 0) for _, p in pieces)


@pytest.mark.parametrize(
    ("raw", "file", "line", "expected"),
    [
        (b'{"line": 4294967299, "session": "a"}', "f.jsonl", 3, {"line": 3, "file": "f.jsonl", "session": "a"}),
        (b'{"line": 9, "ts": 1}', None, 2, {"line": 2, "ts": 1}),
        (b'{"session": "a", "line": 9}', "g", 2, {"line": 2, "file": "g", "session": "a"}),  # another order of keys
    ],
)
def test_result_lines_are_renamed_by_file_and_line(raw: bytes, file: str | None, line: int, expected: dict[str, Any]) -> None:
    renamed = json.loads(relabel_line(raw, file, line))
    assert renamed == expected
    assert list(renamed)[:2] == list(expected)[:2]


def test_frame_rows_become_event_lines() -> None:
    row = {"type": "x", "fields": '{"a": [1, 2]}', "ts": pd.Timestamp(1_733_650_000_000, unit="ms"),
           "session": None, "expect": float("nan")}
    assert json.loads(row_to_line(row)) == {"type": "x", "fields": {"a": [1, 2]}, "ts": 1_733_650_000_000}


@pytest.mark.parametrize("names", [("one.jsonl",), ("a.jsonl", "b.jsonl", "c.jsonl")])
def test_reading_results_with_arrow_equals_reading_them_one_by_one(names: tuple[str, ...]) -> None:
    from korvanthel_tools.replay.dask_replay import _arrow_results, _slow_part
    from korvanthel_tools.replay.native import ReplayOptions, replay_native, summary_from_native

    from replay_support import POLICY, mixed_trace

    events = mixed_trace(sessions=4, events=60, seed=5)
    events[7]["expect"] = "deny"
    events[8]["expect"] = "allow"
    lines = [json.dumps(e).encode() for e in events] + [b"not an event"]
    orders = [((i % len(names)) << ORDER_SHIFT) + i + 1 for i in range(len(lines))]
    inputs = Inputs(names)
    options = ReplayOptions(session_key="session")
    run = replay_native(json.dumps(POLICY).encode(), b"\n".join(lines), options, line_numbers=orders,
                        locate=inputs.locate)
    fast = _arrow_results(run.results or b"", inputs)
    slow, slow_summary = _slow_part(run, options, inputs)
    assert fast is not None
    pd.testing.assert_frame_equal(fast, slow)
    assert summary_from_native(run.summary, inputs.locate, sessions=True) == slow_summary
    assert len(slow_summary.mismatches) == 2 and len(slow_summary.bad_lines) == 1


@settings(max_examples=80, deadline=None)
@given(lines=st.lists(st.binary(max_size=30).map(lambda b: b.replace(b"\n", b"")), max_size=20),
       final=st.booleans(), block=st.integers(1, 80))
def test_file_blocks_cover_the_file_at_line_ends(
    tmp_path_factory: pytest.TempPathFactory, lines: list[bytes], final: bool, block: int
) -> None:
    from korvanthel_tools.replay.dask_replay import file_blocks

    data = b"\n".join(lines) + (b"\n" if final and lines else b"")
    path = tmp_path_factory.mktemp("blocks") / "t.jsonl"
    path.write_bytes(data)
    blocks = file_blocks(str(path), block)
    assert [a for a, _ in blocks] == ([0, *(b for _, b in blocks[:-1])] if data else [])
    assert (blocks[-1][1] if blocks else 0) == len(data)
    assert all(data[b - 1:b] == b"\n" for _, b in blocks[:-1])
    assert all(b > a for a, b in blocks)
