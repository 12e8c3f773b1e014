"""The work of each task of a Dask replay (reading and dealing a piece of
the trace, gathering and replaying a part), importable without pandas or
``dask.dataframe``, so that a worker that only replays pays for neither.
``dask_replay`` builds the graph of these tasks.

A line's place in the trace, its *order*, is ``(input index << 32) |
line``: the line number in its file (or its 1-based position in a bag or
frame, input index 0).
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any, Final, TypeAlias

import numpy as np

from korvanthel_tools.replay.native import NativeRun, ReplayOptions, replay_native, summary_from_native
from korvanthel_tools.replay.policy_diff import PolicyDiff, diff_from_changes
from korvanthel_tools.replay.summary import ReplaySummary

ORDER_SHIFT: Final = 32
_LINE_MASK: Final = (1 << ORDER_SHIFT) - 1
_BOM: Final = b"\xef\xbb\xbf"
_RECORD_HEAD: Final = b'{"line":'  # how every record of a replay against a second policy opens


@dataclass(frozen=True)
class Inputs:
    """Where the lines came from: the names of the inputs by index (None
    for a bag or a frame, whose lines are named by position)."""

    names: tuple[str | None, ...]

    def locate(self, order: int) -> tuple[str | None, int]:
        """(file, line in that file) of a line's place in the whole input; the
        file is None when there is only one input."""
        index = order >> ORDER_SHIFT
        name = self.names[index] if index < len(self.names) else None
        return (name if len(self.names) > 1 else None), order & _LINE_MASK


# What a reading task gives: the number of lines its piece covers (blank
# ones included), then for each part the part's lines of the piece (each
# ending in a line feed) and their 1-based positions in the piece (native
# uint64).
Dealt: TypeAlias = "tuple[int, list[tuple[bytes, bytes]]]"


def deal(data: bytes, parts: int, session_key: str | None) -> Dealt:
    """The lines of one piece of the trace dealt into ``parts`` by session."""
    from korvanthel_tools import _native

    lines = data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)
    return lines, _native.split_by_session(data, parts, session_key=session_key)


def texts_buffer(texts: Sequence[Any]) -> bytes:
    """Lines given one by one (a bag's or frame's) as one buffer, one line
    each: a line feed inside one (JSON whitespace) becomes a space."""
    raw = [t if isinstance(t, bytes) else (t if isinstance(t, str) else str(t)).encode("utf-8") for t in texts]
    return b"".join(t.replace(b"\n", b" ") + b"\n" for t in raw)


def read_range(path: str, start: int, end: int) -> bytes:
    """Bytes [start, end) of a file, without the byte-order mark that may
    open it."""
    with open(path, "rb") as handle:
        handle.seek(start)
        data = handle.read(end - start)
    if start == 0 and data.startswith(_BOM):  # a byte-order mark: the first line is still an event
        data = data[len(_BOM):]
    return data


def deal_range(path: str, start: int, end: int, parts: int, session_key: str | None) -> Dealt:
    """A byte range of a JSON-lines file, dealt."""
    return deal(read_range(path, start, end), parts, session_key)


def deal_parquet(path: str, parts: int, session_key: str | None) -> Dealt:
    """Every row of a Parquet file as an event line, dealt."""
    from korvanthel_tools.replay.rows import parquet_lines

    return deal(texts_buffer(parquet_lines(path)), parts, session_key)


def deal_bag(part: Sequence[Any], parts: int, session_key: str | None) -> Dealt:
    """A partition of a bag of JSON lines, dealt."""
    return deal(texts_buffer(part), parts, session_key)


def deal_frame(part: Any, parts: int, session_key: str | None) -> Dealt:
    """A partition of a frame (a pandas DataFrame), row by row."""
    from korvanthel_tools.replay.rows import row_to_line

    return deal(texts_buffer([row_to_line(r) for r in part.to_dict("records")]), parts, session_key)


def gather_part(input_of: Sequence[int], counts: Sequence[int], *shares: tuple[bytes, bytes]) -> tuple[bytes, list[int]]:
    """One part's lines from every piece, in the trace's order, with each
    line's order: a piece's lines are numbered after the lines of the
    earlier pieces of its input."""
    data: list[bytes] = []
    orders: list[np.ndarray] = []
    seen: dict[int, int] = {}
    for index, count, (lines, numbers) in zip(input_of, counts, shares):
        first = seen.get(index, 0)
        seen[index] = first + count
        if lines:
            data.append(lines)
            orders.append(np.frombuffer(numbers, dtype=np.uint64).astype(np.int64) + ((index << ORDER_SHIFT) + first))
    joined = np.concatenate(orders).tolist() if orders else []
    return b"".join(data), joined


def share(dealt: list[tuple[bytes, bytes]], part: int) -> tuple[bytes, bytes]:
    """One part's share of a dealt piece."""
    return dealt[part]


def replay_gathered(policies: Sequence[bytes], options: ReplayOptions, inputs: Inputs, input_of: Sequence[int],
                     counts: Sequence[int], *shares: tuple[bytes, bytes]) -> list[NativeRun]:
    """Gather one part and replay it natively through each policy: each
    one's result lines and summary."""
    data, orders = gather_part(input_of, counts, *shares)
    return [replay_native(p, data, options, line_numbers=orders, locate=inputs.locate) for p in policies]


def summary_of(runs: Sequence[NativeRun], options: ReplayOptions, inputs: Inputs) -> ReplaySummary:
    """The summary of a part's first run, lines named by file."""
    return summary_from_native(runs[0].summary, inputs.locate, sessions=options.session_key is not None)


@dataclass
class PartDiff:
    """One part replayed against a second policy: its differences grouped
    by change (examples named by file and line), the first policy's summary,
    and its differing events' records (JSON lines named by file and line, in
    trace order) with each one's order (native uint64)."""

    diff: PolicyDiff
    summary: ReplaySummary
    records: bytes
    orders: bytes


def diff_gathered(before: bytes, after: bytes, examples: int, options: ReplayOptions, inputs: Inputs,
                  input_of: Sequence[int], counts: Sequence[int], *shares: tuple[bytes, bytes]) -> PartDiff:
    """Gather one part and replay it natively through both policies in one
    pass, which groups the differences itself (keeping ``examples`` of each
    change): no result line is decoded here."""
    data, orders = gather_part(input_of, counts, *shares)
    run = replay_native(before, data, options, line_numbers=orders, locate=inputs.locate, against=after,
                        examples=max(examples, 0))
    diff = diff_from_changes(run.changes or [], int(run.summary["events"]), examples_per_change=examples)
    for group in diff.groups.values():
        group.examples = [replace(e, file=file, line=line) for e in group.examples
                          for file, line in [inputs.locate(e.order)]]
    summary = summary_from_native(run.summary, inputs.locate, sessions=options.session_key is not None)
    diff.bad_lines = list(summary.bad_lines)
    records, record_orders = name_records(run.records or b"", inputs)
    return PartDiff(diff, summary, records, record_orders)


def name_records(records: bytes, inputs: Inputs) -> tuple[bytes, bytes]:
    """Records whose ``line`` is an order, renamed by file and line as the
    single-process replay names them, with their orders (native uint64).
    Only each record's leading number is read; the rest is kept as it is."""
    lines = records.split(b"\n")[:-1]
    head = len(_RECORD_HEAD)
    cuts = [line.index(b",", head) for line in lines]
    orders = [int(line[head:cut]) for line, cut in zip(lines, cuts)]
    if len(inputs.names) > 1:
        files = [b',"file":' + json.dumps(name, ensure_ascii=False).encode("utf-8") for name in inputs.names]
        lines = [b'{"line":%d%s%s' % (order & _LINE_MASK, files[order >> ORDER_SHIFT], line[cut:])
                 for line, cut, order in zip(lines, cuts, orders)]
        records = b"\n".join(lines) + b"\n" if lines else b""
    return records, np.asarray(orders, dtype=np.uint64).tobytes()
