"""Replaying a trace on a Dask cluster, one engine per session.

The trace goes to the workers as bytes, never as rows: a task reads each
piece of the input (a byte range of a JSON-lines file, a Parquet file, a
partition of a bag or frame) and deals its lines into parts by session in
C++ (``_native.split_by_session``); each part then gathers its share of
every piece, in the trace's order, and replays it through the native
replayer, each session ordered by time. Only the lines move, each once, to
the worker replaying their part. Workers receive the policy's bytes, never
an engine: each task builds its own engines.

A line's place in the trace, its *order*, is ``(input index << 32) |
line``: the line number in its file (or its 1-based position in a bag or
frame, input index 0). Results and merged summaries name lines by file and
line, so they read exactly like the single-process replay's.
"""

from __future__ import annotations

import contextlib
import io
import json
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final, TypeAlias

import dask
import dask.bag as db
import dask.dataframe as dd
import numpy as np
import pandas as pd

from korvanthel_tools.replay.dask_parts import (
    _LINE_MASK, Inputs, PartDiff, deal_bag, deal_frame, deal_parquet, deal_range, diff_gathered, replay_gathered,
    share, summary_of,
)
from korvanthel_tools.replay.native import NativeRun, ReplayOptions, relabel_line, relabel_record, summary_from_native
from korvanthel_tools.replay.policy_diff import PolicyDiff
from korvanthel_tools.replay.rows import PARQUET_SUFFIXES
from korvanthel_tools.replay.summary import ReplaySummary

BLOCK_SIZE: Final = 64 << 20  # bytes of a JSON-lines file read by one task

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


def _loads(raw: bytes) -> Any:
    return json.loads(raw)


@dataclass
class DaskReplay:
    """A replay on the cluster: the results (a Dask frame with the columns of
    ``RESULTS_META``, ``order`` giving input order) and the summary merged
    over all parts."""

    results: dd.DataFrame
    summary: ReplaySummary


@dataclass
class DaskDiff:
    """A comparison of two policies on the cluster: the differences, the
    first policy's summary, and the differing events' records as JSON lines
    in input order, byte for byte what ``korvanthel replay --against``
    writes in one process."""

    diff: PolicyDiff
    before: ReplaySummary
    records: bytes = b""


# --- reading: pieces of the input dealt into parts ---------------------------

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


@dataclass(frozen=True)
class Pieces:
    """The reading of the input: for each piece in the trace's order, the
    index of its input and the (lazy) task that reads and deals it."""

    inputs: Inputs
    input_of: tuple[int, ...]
    tasks: tuple[Any, ...]
    parts: int


def _sources(events: Events, block_size: int) -> tuple[Inputs, list[tuple[int, Any, tuple[Any, ...]]]]:
    """Each piece of the input: (input index, reading function, its first
    arguments)."""
    if isinstance(events, (str, Path)):
        events = [str(events)]
    if isinstance(events, dd.DataFrame):
        return Inputs((None,)), [(0, deal_frame, (p,)) for p in events.to_delayed()]
    if isinstance(events, db.Bag):
        return Inputs((None,)), [(0, deal_bag, (p,)) for p in events.to_delayed()]
    paths = [str(p) for p in events]
    if not paths:
        raise ValueError("no events to replay")
    sources: list[tuple[int, Any, tuple[Any, ...]]] = []
    for i, path in enumerate(paths):
        if path.lower().endswith(PARQUET_SUFFIXES):
            sources.append((i, deal_parquet, (path,)))
        else:
            sources.extend((i, deal_range, (path, a, b)) for a, b in file_blocks(path, block_size) or [(0, 0)])
    return Inputs(tuple(paths)), sources


def read_pieces(events: Events, session_key: str | None, partitions: int | None, block_size: int = BLOCK_SIZE,
                workers: Sequence[str] = ()) -> Pieces:
    """The tasks reading the input, each dealing its lines into
    ``partitions`` parts (default: as many as the pieces); with
    ``workers``, the pieces are handed to them in turn."""
    inputs, sources = _sources(events, block_size)
    parts = max(1, partitions if partitions is not None else len(sources))
    tasks = []
    for n, (_, fn, args) in enumerate(sources):
        with _on_worker(workers, n):
            tasks.append(dask.delayed(fn, nout=2)(*args, parts, session_key))
    return Pieces(inputs, tuple(i for i, _, _ in sources), tuple(tasks), parts)


def _part_args(pieces: Pieces) -> list[tuple[Any, ...]]:
    """For each part, the arguments of gather_part: only that part's share
    of each piece moves to it."""
    counts = [task[0] for task in pieces.tasks]
    shares = [task[1] for task in pieces.tasks]
    return [
        (pieces.input_of, counts, *[dask.delayed(share)(s, part) for s in shares])
        for part in range(pieces.parts)
    ]


# --- replaying ---------------------------------------------------------------

@dataclass
class _Replayed:
    """One partition replayed: its result records (named by file and line)
    with their places in the trace, and its summary."""

    orders: list[int]
    records: list[dict[str, Any]]
    texts: list[str]  # the result lines, renamed by file and line
    summary: ReplaySummary


def _records_of(run: NativeRun, options: ReplayOptions, inputs: Inputs) -> _Replayed:
    """Parse a partition's result lines one by one, summing them up here."""
    summary = ReplaySummary()
    records: list[dict[str, Any]] = []
    texts: list[str] = []
    out_orders: list[int] = []
    for raw in (run.results or b"").split(b"\n"):
        if not raw:
            continue
        record = _loads(raw)
        order = int(record["line"])
        file, line = inputs.locate(order)
        record = relabel_record(record, file, line)
        texts.append(relabel_line(raw, file, line).decode("utf-8"))
        summary.add_record(record, file, order)
        records.append(record)
        out_orders.append(order)
    native = summary_from_native(run.summary, inputs.locate, sessions=options.session_key is not None)
    summary.bad_lines = native.bad_lines
    summary.sessions = native.sessions
    return _Replayed(out_orders, records, texts, summary)


def _frame_of(runs: Sequence[NativeRun], options: ReplayOptions, inputs: Inputs) -> pd.DataFrame:
    """The results frame of one replayed part."""
    run = runs[0]
    frame = _arrow_results(run.results or b"", inputs)
    return frame if frame is not None else _slow_part(run, options, inputs)[0]


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


def _spread(task: Any, first: Sequence[Any], events: Events, options: ReplayOptions, partitions: int | None,
            block_size: int) -> tuple[Inputs, list[Any]]:
    """The inputs and, for each part, the lazy ``task(*first, options,
    inputs, *gather_part's arguments)`` replaying its lines."""
    workers = _workers()
    pieces = read_pieces(events, options.session_key, partitions, block_size, workers)
    runs = []
    for part, args in enumerate(_part_args(pieces)):
        with _on_worker(workers, part):
            runs.append(dask.delayed(task)(*first, options, pieces.inputs, *args))
    return pieces.inputs, runs


def _workers() -> list[str]:
    """The addresses of the distributed cluster's workers, if one is in use."""
    try:
        from distributed import default_client

        return sorted(default_client().scheduler_info()["workers"])
    except (ImportError, ValueError):
        return []


def _on_worker(workers: Sequence[str], n: int) -> Any:
    """Prefer the n-th worker in turn (any other may still run the task).
    Pieces and parts are spread evenly: every part's inputs lie on every
    worker, so the scheduler, placing a task where its inputs are, would
    pile the parts up on whichever worker read the most pieces."""
    if not workers:
        return contextlib.nullcontext()
    return dask.annotate(workers=[workers[n % len(workers)]], allow_other_workers=True)


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
    partitions. With ``persist`` false only the summary is computed: the
    results frame is left lazy (using it replays the trace again).
    ``partitions``: how many parts the sessions are spread over (default:
    as many as the tasks that read the input); ``block_size``: bytes of a
    JSON-lines file read by one task.
    Raises ToolError as the single-process replay does.
    """
    options = ReplayOptions(session_key, sort, strict, dict(context or {}), dict(config or {}))
    keys = [dask.delayed(policy, pure=True)]
    inputs, runs = _spread(replay_gathered, [keys], events, options, partitions, block_size)
    if persist:
        runs = list(dask.persist(*runs))
    summaries = dask.compute(*[dask.delayed(summary_of)(r, options, inputs) for r in runs])
    frames = [dask.delayed(_frame_of)(r, options, inputs) for r in runs]
    results = dd.from_delayed(frames, meta=RESULTS_META, verify_meta=False)
    return DaskReplay(results.persist() if persist else results, merge_summaries(summaries))


def merge_summaries(parts: Sequence[ReplaySummary]) -> ReplaySummary:
    """One summary of the parts' summaries, as if the trace had been replayed in one piece."""
    total = ReplaySummary()
    for part in parts:
        total.merge(part)
    return total


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
    events whose verdict or fired rules differ (records in input order).
    Each part goes through both policies in one native pass that groups its
    differences; only the groups, summaries and records come back."""
    options = ReplayOptions(session_key, sort, strict, dict(context or {}), dict(config or {}))
    policies = [dask.delayed(before, pure=True), dask.delayed(after, pure=True)]
    _, parts = _spread(diff_gathered, [*policies, examples_per_change], events, options, partitions, block_size)
    return merge_diffs(dask.compute(*parts), examples_per_change)


def merge_diffs(parts: Sequence[PartDiff], examples_per_change: int) -> DaskDiff:
    """One comparison of the parts' comparisons: counts summed, each
    change's first examples and the records in input order (by the orders
    the parts carry)."""
    total = DaskDiff(PolicyDiff(examples_per_change=examples_per_change), ReplaySummary())
    lines: list[bytes] = []
    for part in parts:
        total.diff.merge(part.diff)
        total.before.merge(part.summary)
        lines.extend(part.records.split(b"\n")[:-1])
    if lines:
        orders = np.concatenate([np.frombuffer(p.orders, dtype=np.uint64) for p in parts])
        total.records = b"\n".join([lines[i] for i in np.argsort(orders, kind="stable").tolist()]) + b"\n"
    return total
