"""Replaying a trace on a Dask cluster, one engine per session.

The events are read in parallel (a task per input file, or per partition
of a bag or frame), each line keyed by its place in the trace and by its
session; the lines are then shuffled so that every session lands whole in
one partition, and each partition is replayed by the native replayer in
the trace's order, each session ordered by time. Workers receive the
policy's bytes, never an engine: each task builds its own engines.

A line's place in the trace, its *order*, is ``(input index << 32) |
line``: the line number in its file (or its 1-based position in a bag or
frame, input index 0). Results and merged summaries name lines by file and
line, so they read exactly like the single-process replay's.
"""

from __future__ import annotations

import importlib
import io
import json
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Final, TypeAlias

import dask
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd

from korvanthel_tools.replay.native import (
    NativeRun, ReplayOptions, bad_lines_from_native, relabel_line, relabel_record, replay_native,
    summary_from_native,
)
from korvanthel_tools.replay.policy_diff import PolicyDiff, diff_results
from korvanthel_tools.replay.rows import PARQUET_SUFFIXES, parquet_lines, row_to_line
from korvanthel_tools.replay.summary import ReplaySummary

ORDER_SHIFT: Final = 32
BLOCK_SIZE: Final = 64 << 20  # bytes of a JSON-lines file read by one task
_LINE_MASK: Final = (1 << ORDER_SHIFT) - 1

# The lines of the trace, ready to replay.
LINES_META: Final = pd.DataFrame({
    "order": pd.Series([], dtype="int64"),
    "session": pd.Series([], dtype="object"),
    "text": pd.Series([], dtype="object"),
})
# One row per replayed event; ``record`` is the result line as the
# single-process replay writes it.
RESULTS_META: Final = pd.DataFrame({
    "order": pd.Series([], dtype="int64"),
    "file": pd.Series([], dtype="object"),
    "line": pd.Series([], dtype="int64"),
    "session": pd.Series([], dtype="object"),
    "ts": pd.Series([], dtype="int64"),
    "type": pd.Series([], dtype="object"),
    "verdict": pd.Series([], dtype="object"),
    "triggered_rules": pd.Series([], dtype="object"),
    "eval_time_us": pd.Series([], dtype="int64"),
    "record": pd.Series([], dtype="object"),
})

Events: TypeAlias = "dd.DataFrame | db.Bag | Sequence[str]"


def _json_loads() -> Callable[[str | bytes], Any]:
    """orjson's reader where it is installed (several times faster), else
    the standard library's."""
    try:
        loads: Callable[[str | bytes], Any] = importlib.import_module("orjson").loads
    except ImportError:
        return json.loads
    return loads


def _json_dumps(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


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


@dataclass
class DaskReplay:
    """A replay on the cluster: the results (a Dask frame with the columns of
    ``RESULTS_META``, ``order`` giving input order) and the summary merged
    over all parts."""

    results: dd.DataFrame
    summary: ReplaySummary


@dataclass
class DaskDiff:
    """A comparison of two policies on the cluster: the differences, each
    policy's summary, and the differing events' records."""

    diff: PolicyDiff
    before: ReplaySummary
    after: ReplaySummary
    # (place in the trace, difference record) of every differing event
    records: list[tuple[int, dict[str, Any]]] = field(default_factory=list)


# --- reading ---------------------------------------------------------------

def session_of(obj: Any, key: str | None) -> str | None:
    """The grouping key of one parsed line: its session as text, None when
    there is no session key, the line has none, or it is not an object."""
    if key is None or not isinstance(obj, dict):
        return None
    value = obj.get(key)
    if value is None:
        return None
    return value if isinstance(value, str) else _json_dumps(value)


def lines_frame(texts: Sequence[str | bytes], orders: Sequence[int], session_key: str | None) -> pd.DataFrame:
    """Key non-blank lines by order and session, one line at a time (bad
    lines included, with no session: the replayer reports them)."""
    loads = _json_loads()
    keep_texts: list[bytes] = []
    keep_orders: list[int] = []
    sessions: list[str | None] = []
    for text, order in zip(texts, orders):
        raw = text.encode("utf-8") if isinstance(text, str) else text
        if not raw.strip():
            continue
        session: str | None = None
        if session_key is not None:
            try:
                session = session_of(loads(raw), session_key)
            except (ValueError, RecursionError):
                session = None
        keep_texts.append(raw)
        keep_orders.append(order)
        sessions.append(session)
    return _lines(keep_orders, sessions, keep_texts)


def _lines(orders: Sequence[int] | np.ndarray, sessions: Sequence[str | None], texts: Sequence[bytes]) -> pd.DataFrame:
    return pd.DataFrame({
        "order": pd.Series(orders, dtype="int64"),
        "session": pd.Series(list[Any](sessions), dtype="object"),
        "text": pd.Series(texts, dtype="object"),
    })


def key_lines(data: bytes, base: int, session_key: str | None) -> pd.DataFrame:
    """Key the lines of a JSON-lines buffer; line n gets the order base + n.

    The sessions are read with Arrow's JSON reader when every line is an
    object whose session is a string or missing; any other buffer (blank or
    bad lines, other kinds of sessions) is read line by line."""
    texts = data.split(b"\n")
    if texts and texts[-1] == b"":
        texts.pop()
    orders = np.arange(base + 1, base + 1 + len(texts), dtype=np.int64)
    if session_key is None:
        if all(t.strip() for t in texts):
            return _lines(orders, [None] * len(texts), texts)
        return lines_frame(texts, orders.tolist(), None)
    sessions = _arrow_sessions(data, session_key, len(texts))
    if sessions is None:
        return lines_frame(texts, orders.tolist(), session_key)
    return _lines(orders, sessions, texts)


def _arrow_sessions(data: bytes, session_key: str, lines: int) -> list[str | None] | None:
    import pyarrow as pa
    import pyarrow.json as pj

    options = pj.ParseOptions(
        explicit_schema=pa.schema([(session_key, pa.string())]), unexpected_field_behavior="ignore",
    )
    try:
        table = pj.read_json(io.BytesIO(data), parse_options=options)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
        return None
    if table.num_rows != lines:  # blank lines were skipped: numbering lost
        return None
    sessions: list[str | None] = table.column(session_key).to_pylist()
    return sessions


def _read_range(path: str, start: int, end: int) -> bytes:
    with open(path, "rb") as handle:
        handle.seek(start)
        return handle.read(end - start)


def _count_lines(path: str, start: int, end: int) -> int:
    return _read_range(path, start, end).count(b"\n")


def _jsonl_block(path: str, start: int, end: int, base: int, session_key: str | None) -> pd.DataFrame:
    """Lines [start, end) of a file, the first numbered base + 1."""
    return key_lines(_read_range(path, start, end), base, session_key)


def file_blocks(path: str, block_size: int) -> list[tuple[int, int]]:
    """Byte ranges of about ``block_size`` that cover a file, each ending
    just after a line feed (the last at the end of the file)."""
    size = Path(path).stat().st_size
    blocks: list[tuple[int, int]] = []
    start = 0
    with open(path, "rb") as handle:
        while start < size:
            end = min(size, start + max(1, block_size))
            if end < size:
                handle.seek(end)
                while True:
                    piece = handle.read(1 << 16)
                    if not piece:
                        end = size
                        break
                    cut = piece.find(b"\n")
                    if cut >= 0:
                        end += cut + 1
                        break
                    end += len(piece)
            blocks.append((start, end))
            start = end
    return blocks


def _jsonl_chunks(path: str, index: int, session_key: str | None, block_size: int) -> list[Any]:
    """Tasks reading a JSON-lines file in blocks; each block's first line
    number comes from counting the lines of the blocks before it."""
    blocks = file_blocks(path, block_size)
    if len(blocks) <= 1:
        return [dask.delayed(_jsonl_block)(path, 0, blocks[0][1] if blocks else 0, index << ORDER_SHIFT, session_key)]
    counts = dask.compute(*[dask.delayed(_count_lines)(path, a, b) for a, b in blocks[:-1]])
    firsts = np.cumsum([0, *counts]).tolist()
    return [
        dask.delayed(_jsonl_block)(path, a, b, (index << ORDER_SHIFT) + first, session_key)
        for (a, b), first in zip(blocks, firsts)
    ]


def _parquet_file(path: str, index: int, session_key: str | None) -> pd.DataFrame:
    texts = parquet_lines(path)
    base = index << ORDER_SHIFT
    return lines_frame(texts, range(base + 1, base + 1 + len(texts)), session_key)


def _bag_part(part: Sequence[Any], offset: int, session_key: str | None) -> pd.DataFrame:
    texts = [p if isinstance(p, (bytes, str)) else str(p) for p in part]
    return lines_frame(texts, range(offset + 1, offset + 1 + len(texts)), session_key)


def _frame_part(part: pd.DataFrame, offset: int, session_key: str | None) -> pd.DataFrame:
    texts = [row_to_line(r) for r in part.to_dict("records")]
    return lines_frame(texts, range(offset + 1, offset + 1 + len(texts)), session_key)


def read_lines(
    events: Events, session_key: str | None, block_size: int = BLOCK_SIZE
) -> tuple[dd.DataFrame, Inputs]:
    """The trace's lines as a Dask frame (order, session, text); a
    JSON-lines file is read in blocks of about ``block_size`` bytes."""
    if isinstance(events, (str, Path)):
        events = [str(events)]
    if isinstance(events, dd.DataFrame):
        parts = events.to_delayed()
        lengths = dask.compute(*[dask.delayed(len)(p) for p in parts])
        offsets = np.cumsum([0, *lengths[:-1]]).tolist()
        chunks = [dask.delayed(_frame_part)(p, o, session_key) for p, o in zip(parts, offsets)]
        inputs = Inputs((None,))
    elif isinstance(events, db.Bag):
        parts = events.to_delayed()
        lengths = dask.compute(*[dask.delayed(len)(p) for p in parts])
        offsets = np.cumsum([0, *lengths[:-1]]).tolist()
        chunks = [dask.delayed(_bag_part)(p, o, session_key) for p, o in zip(parts, offsets)]
        inputs = Inputs((None,))
    else:
        paths = [str(p) for p in events]
        if not paths:
            raise ValueError("no events to replay")
        chunks = []
        for i, path in enumerate(paths):
            if path.lower().endswith(PARQUET_SUFFIXES):
                chunks.append(dask.delayed(_parquet_file)(path, i, session_key))
            else:
                chunks.extend(_jsonl_chunks(path, i, session_key, block_size))
        inputs = Inputs(tuple(paths))
    return dd.from_delayed(chunks, meta=LINES_META, verify_meta=False), inputs


def by_session(lines: dd.DataFrame, partitions: int) -> dd.DataFrame:
    """Shuffle lines so that each session is whole in one partition."""
    def bucket(part: pd.DataFrame) -> pd.DataFrame:
        keys = part["session"].map(lambda s: "\x00" if s is None else "\x01" + s)
        hashed = pd.util.hash_array(keys.to_numpy(dtype=object))
        return part.assign(bucket=(hashed % np.uint64(partitions)).astype("int64"))

    meta = LINES_META.assign(bucket=pd.Series([], dtype="int64"))
    keyed = lines.map_partitions(bucket, meta=meta)
    return keyed.shuffle(on="bucket", npartitions=partitions)


# --- replaying -------------------------------------------------------------

@dataclass
class _Replayed:
    """One partition replayed: its result records (named by file and line)
    with their places in the trace, and its summary."""

    orders: list[int]
    records: list[dict[str, Any]]
    texts: list[str]  # the result lines, renamed by file and line
    summary: ReplaySummary


def _replay_records(part: pd.DataFrame, policy: bytes, options: ReplayOptions, inputs: Inputs) -> _Replayed:
    part = part.sort_values("order", kind="stable")
    orders = part["order"].tolist()
    data = _joined(part["text"].tolist())
    return _records_of(replay_native(policy, data, options, line_numbers=orders, locate=inputs.locate), options, inputs)


def _records_of(run: NativeRun, options: ReplayOptions, inputs: Inputs) -> _Replayed:
    """Parse a partition's result lines one by one, summing them up here."""
    loads = _json_loads()
    summary = ReplaySummary()
    records: list[dict[str, Any]] = []
    texts: list[str] = []
    out_orders: list[int] = []
    for raw in (run.results or b"").split(b"\n"):
        if not raw:
            continue
        record = loads(raw)
        order = int(record["line"])
        file, line = inputs.locate(order)
        record = relabel_record(record, file, line)
        texts.append(relabel_line(raw, file, line).decode("utf-8"))
        summary.add_record(record, file, order)
        records.append(record)
        out_orders.append(order)
    summary.bad_lines = bad_lines_from_native(run.summary, inputs.locate)
    if options.session_key is not None:
        sessions = run.summary.get("sessions")
        summary.sessions = int(sessions) if sessions is not None else len({
            session_of(r, "session") for r in records
        })
    return _Replayed(out_orders, records, texts, summary)


def _joined(texts: list[Any]) -> bytes:
    """The lines of a partition as one buffer (a shuffle may hand text back
    as str)."""
    return b"\n".join(t if isinstance(t, bytes) else str(t).encode("utf-8") for t in texts)


def _replay_part(
    part: pd.DataFrame, policy: bytes, options: ReplayOptions, inputs: Inputs
) -> tuple[pd.DataFrame, ReplaySummary]:
    """Replay one partition into its results frame and summary."""
    part = part.sort_values("order", kind="stable")
    orders = part["order"].tolist()
    data = _joined(part["text"].tolist())
    run = replay_native(policy, data, options, line_numbers=orders, locate=inputs.locate)
    frame = _arrow_results(run.results or b"", inputs)
    if frame is None:
        return _slow_part(run, options, inputs)
    return frame, summary_from_native(run.summary, inputs.locate, sessions=options.session_key is not None)


def _arrow_results(results: bytes, inputs: Inputs) -> pd.DataFrame | None:
    """The results frame of a partition's result lines, read with Arrow's
    JSON reader; None when they do not have the usual form."""
    import pyarrow as pa
    import pyarrow.json as pj

    schema = pa.schema([
        ("line", pa.int64()), ("session", pa.string()), ("ts", pa.int64()), ("type", pa.string()),
        ("result", pa.struct([
            ("verdict", pa.string()), ("triggered_rules", pa.list_(pa.int64())), ("eval_time_us", pa.int64()),
        ])),
    ])
    lines = results.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    if not lines:
        return RESULTS_META.copy()
    try:
        table = pj.read_json(io.BytesIO(results), parse_options=pj.ParseOptions(
            explicit_schema=schema, unexpected_field_behavior="ignore"))
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
        return None
    if table.num_rows != len(lines):
        return None
    orders = table.column("line").to_numpy()
    result = table.column("result").combine_chunks()
    located = [inputs.locate(int(o)) for o in orders] if len(inputs.names) > 1 else None
    if located is None:
        files: list[str | None] = [None] * len(lines)
        numbers = orders & _LINE_MASK
        texts = [line.decode("utf-8") for line in lines]
    else:
        files = [f for f, _ in located]
        numbers = np.array([n for _, n in located], dtype=np.int64)
        texts = [relabel_line(raw, f, n).decode("utf-8") for raw, (f, n) in zip(lines, located)]
    return pd.DataFrame({
        "order": pd.Series(orders, dtype="int64"),
        "file": pd.Series(files, dtype="object"),
        "line": pd.Series(numbers, dtype="int64"),
        "session": pd.Series(table.column("session").to_pylist(), dtype="object"),
        "ts": pd.Series(table.column("ts").to_numpy(zero_copy_only=False), dtype="int64"),
        "type": pd.Series(table.column("type").to_pylist(), dtype="object"),
        "verdict": pd.Series(result.field("verdict").to_pylist(), dtype="object"),
        "triggered_rules": pd.Series(result.field("triggered_rules").to_pylist(), dtype="object"),
        "eval_time_us": pd.Series(result.field("eval_time_us").to_numpy(zero_copy_only=False), dtype="int64"),
        "record": pd.Series(texts, dtype="object"),
    })


def _slow_part(run: NativeRun, options: ReplayOptions, inputs: Inputs) -> tuple[pd.DataFrame, ReplaySummary]:
    done = _records_of(run, options, inputs)
    recs = done.records
    frame = pd.DataFrame({
        "order": pd.Series(done.orders, dtype="int64"),
        "file": pd.Series([r.get("file") for r in recs], dtype="object"),
        "line": pd.Series([r["line"] for r in recs], dtype="int64"),
        "session": pd.Series([r.get("session") for r in recs], dtype="object"),
        "ts": pd.Series([r.get("ts", 0) for r in recs], dtype="int64"),
        "type": pd.Series([r.get("type") for r in recs], dtype="object"),
        "verdict": pd.Series([r["result"]["verdict"] for r in recs], dtype="object"),
        "triggered_rules": pd.Series([r["result"]["triggered_rules"] for r in recs], dtype="object"),
        "eval_time_us": pd.Series([r["result"]["eval_time_us"] for r in recs], dtype="int64"),
        "record": pd.Series(done.texts, dtype="object"),
    })
    return frame, done.summary


def _first(pair: tuple[pd.DataFrame, ReplaySummary]) -> pd.DataFrame:
    return pair[0]


def _second(pair: tuple[pd.DataFrame, ReplaySummary]) -> ReplaySummary:
    return pair[1]


def _partitions(lines: dd.DataFrame, partitions: int | None) -> int:
    return max(1, partitions if partitions is not None else lines.npartitions)


def replay_dask(
    policy: bytes,
    events: Events,
    *,
    session_key: str | None = "session",
    sort: bool = True,
    strict: bool = False,
    context: Mapping[str, Any] | None = None,
    config: Mapping[str, Any] | None = None,
    partitions: int | None = None,
    persist: bool = True,
    block_size: int = BLOCK_SIZE,
) -> DaskReplay:
    """Replay a trace on the current Dask scheduler.

    ``events``: paths of JSON-lines or Parquet files (read in the order
    given), a bag of JSON lines, or a frame with the columns of an events
    line (``type``, ``fields``, ``ts``, the session key, ``expect``...).
    Each session is replayed whole by one engine, in time order when
    ``sort`` (otherwise time going backwards is an error naming the line).
    Returns the per-event results, persisted on the cluster (one row per
    event, columns of RESULTS_META), and the summary merged over all
    partitions. With ``persist`` false only the summary is kept: the
    results frame is left lazy (using it replays the trace again).
    ``partitions``: how many parts the sessions are spread over (default:
    as many as the tasks that read the input); ``block_size``: bytes of a
    JSON-lines file read by one task.
    Raises ToolError as the single-process replay does.
    """
    options = ReplayOptions(session_key, sort, strict, dict(context or {}), dict(config or {}))
    lines, inputs = read_lines(events, session_key, block_size)
    shuffled = by_session(lines, _partitions(lines, partitions))
    policy_key = dask.delayed(policy, pure=True)
    parts = [dask.delayed(_replay_part)(p, policy_key, options, inputs) for p in shuffled.to_delayed()]
    if persist:
        parts = list(dask.persist(*parts))
    frames = [dask.delayed(_first)(p) for p in parts]
    summaries = dask.compute(*[dask.delayed(_second)(p) for p in parts])
    results = dd.from_delayed(frames, meta=RESULTS_META, verify_meta=False)
    return DaskReplay(results.persist() if persist else results, merge_summaries(summaries))


def merge_summaries(parts: Sequence[ReplaySummary]) -> ReplaySummary:
    """One summary of the parts' summaries, as if the trace had been replayed in one piece."""
    total = ReplaySummary()
    for part in parts:
        total.merge(part)
    return total


def _diff_part(part: pd.DataFrame, before: bytes, after: bytes, options: ReplayOptions, inputs: Inputs,
               examples: int) -> DaskDiff:
    a = _replay_records(part, before, options, inputs)
    b = _replay_records(part, after, options, inputs)
    records: list[tuple[int, dict[str, Any]]] = []
    diff = diff_results(a.records, b.records, orders=a.orders,
                        on_change=lambda order, rec: records.append((order, rec)),
                        examples_per_change=examples)
    diff.bad_lines = list(a.summary.bad_lines)
    return DaskDiff(diff, a.summary, b.summary, records)


def diff_dask(
    before: bytes,
    after: bytes,
    events: Events,
    *,
    session_key: str | None = "session",
    sort: bool = True,
    strict: bool = False,
    context: Mapping[str, Any] | None = None,
    config: Mapping[str, Any] | None = None,
    partitions: int | None = None,
    examples_per_change: int = 5,
    block_size: int = BLOCK_SIZE,
) -> DaskDiff:
    """Replay one trace through two policies on the cluster and gather the
    events whose verdict or fired rules differ (records in input order)."""
    options = ReplayOptions(session_key, sort, strict, dict(context or {}), dict(config or {}))
    lines, inputs = read_lines(events, session_key, block_size)
    shuffled = by_session(lines, _partitions(lines, partitions))
    b_key, a_key = dask.delayed(before, pure=True), dask.delayed(after, pure=True)
    parts: Sequence[DaskDiff] = dask.compute(*[
        dask.delayed(_diff_part)(p, b_key, a_key, options, inputs, examples_per_change)
        for p in shuffled.to_delayed()
    ])
    total = DaskDiff(PolicyDiff(examples_per_change=examples_per_change), ReplaySummary(), ReplaySummary())
    for part in parts:
        total.diff.merge(part.diff)
        total.before.merge(part.before)
        total.after.merge(part.after)
        total.records.extend(part.records)
    total.records.sort(key=lambda item: item[0])
    return total
