"""Replay on a local Dask cluster of two worker processes (loopback): the
same results, event for event, as the single-process replay."""

from __future__ import annotations

import json
import random
import re
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import dask.bag as db  # noqa: E402
import dask.dataframe as dd  # noqa: E402

from korvanthel_tools.replay.dask_replay import diff_dask, replay_dask  # noqa: E402
from korvanthel_tools.loading import ToolError  # noqa: E402
from korvanthel_tools.replay.native import ReplayOptions  # noqa: E402
from korvanthel_tools.replay.run import ReplayRun, ResultSink  # noqa: E402

from replay_support import POLICY, T0, mixed_trace, stricter  # noqa: E402
from tools_support import Run, cli, json_lines, policy_json, write_events  # noqa: E402

TIMEOUT_S = 60


@pytest.fixture(scope="module")
def client() -> Iterator[Any]:
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, silence_logs=40,
    )
    client = distributed.Client(cluster, timeout=TIMEOUT_S)
    try:
        client.wait_for_workers(2, timeout=TIMEOUT_S)
        yield client
    finally:
        client.close()
        cluster.close(timeout=TIMEOUT_S)


@pytest.fixture(scope="module")
def trace_files(tmp_path_factory: pytest.TempPathFactory) -> list[Path]:
    """A mixed trace of 12 sessions cut into three files, so that most
    sessions are spread across files; a bad line in the middle one."""
    events = mixed_trace(sessions=12, events=240, seed=7)
    directory = tmp_path_factory.mktemp("trace")
    paths = []
    for i in range(3):
        path = write_events(directory / f"part{i}.jsonl", events[i * 80:(i + 1) * 80])
        paths.append(path)
    with paths[1].open("a", encoding="utf-8") as handle:
        handle.write("not an event\n")
    return paths


def comparable(record: dict[str, Any]) -> dict[str, Any]:
    """A result record without its evaluation time, the one field that
    differs between two replays of the same trace."""
    return {**record, "result": {k: v for k, v in record["result"].items() if k != "eval_time_us"}}


def cluster_records(replay: Any) -> list[dict[str, Any]]:
    """The comparable result records of a Dask replay, in input order."""
    return [comparable(json.loads(text)) for text in replay.results.compute().sort_values("order")["record"]]


def results_here(cli: Callable[..., Run], policy: Path, paths: list[Path], *args: str) -> list[dict[str, Any]]:
    run = cli("replay", policy, *paths, "--session-key", "session", *args)
    assert run.status == 0, run.err
    return [comparable(record) for record in json_lines(run.out)]


def test_results_match_the_single_process_replay(
    client: Any, cli: Callable[..., Run], policy_json: Path, trace_files: list[Path]
) -> None:
    expected = results_here(cli, policy_json, trace_files)
    replay = replay_dask(policy_json.read_bytes(), [str(p) for p in trace_files], session_key="session", sort=False)
    frame = replay.results.compute().sort_values("order")
    got = [comparable(json.loads(text)) for text in frame["record"]]
    assert got == expected
    assert list(frame["verdict"]) == [r["result"]["verdict"] for r in expected]
    assert replay.summary.events == len(expected) == 240
    assert replay.summary.sessions == 12
    assert [(b.file, b.line) for b in replay.summary.bad_lines] == [(str(trace_files[1]), 81)]
    assert replay.summary.constraints and replay.summary.invariants  # the trace exercises both
    # Files read in blocks of a few lines, spread over three partitions.
    blocks = replay_dask(policy_json.read_bytes(), [str(p) for p in trace_files], session_key="session",
                         sort=False, block_size=1000, partitions=3)
    assert blocks.results.npartitions == 3
    assert cluster_records(blocks) == expected


def test_the_command_gives_the_same_output_and_summary(
    client: Any, cli: Callable[..., Run], policy_json: Path, trace_files: list[Path], tmp_path: Path
) -> None:
    address = client.scheduler.address
    here_out, there_out = tmp_path / "here.jsonl", tmp_path / "there.jsonl"
    here = cli("replay", policy_json, *trace_files, "--session-key", "session", "-o", here_out)
    there = cli("replay", policy_json, *trace_files, "--session-key", "session", "-o", there_out, "--dask", address)
    assert (here.status, there.status) == (0, 0), there.err

    there_records = [comparable(r) for r in json_lines(there_out.read_text())]
    assert there_records == [comparable(r) for r in json_lines(here_out.read_text())]
    latency = "Latency (eval_time_us)"
    assert there.out.split(latency)[0] == here.out.split(latency)[0]
    assert there.out.split(latency)[1].split("\n", 3)[3] == here.out.split(latency)[1].split("\n", 3)[3]


def test_sorting_is_the_same_on_the_cluster(
    client: Any, cli: Callable[..., Run], policy_json: Path, tmp_path: Path
) -> None:
    events = list(reversed(mixed_trace(sessions=4, events=60, seed=3)))  # every session backwards
    paths = [write_events(tmp_path / "a.jsonl", events[:30]), write_events(tmp_path / "b.jsonl", events[30:])]
    expected = results_here(cli, policy_json, paths, "--sort")
    replay = replay_dask(policy_json.read_bytes(), [str(p) for p in paths], session_key="session", sort=True)
    assert cluster_records(replay) == expected
    with pytest.raises(ToolError, match=r"\.jsonl:\d+: time goes backwards in session"):
        replay_dask(policy_json.read_bytes(), [str(p) for p in paths], session_key="session", sort=False)


def test_bag_frame_and_parquet_inputs_give_the_same_results(
    client: Any, cli: Callable[..., Run], policy_json: Path, tmp_path: Path
) -> None:
    events = mixed_trace(sessions=5, events=50, seed=11)
    policy = policy_json.read_bytes()
    lines = [json.dumps(e) for e in events]
    from_bag = replay_dask(policy, db.from_sequence(lines, npartitions=3), session_key="session")
    frame = pd.DataFrame({
        "type": [e["type"] for e in events],
        "fields": [json.dumps(e.get("fields", {})) for e in events],
        "ts": [e["ts"] for e in events],
        "session": [e["session"] for e in events],
    })
    from_frame = replay_dask(policy, dd.from_pandas(frame, npartitions=4), session_key="session")
    parquet = tmp_path / "trace.parquet"
    frame.to_parquet(parquet)
    from_parquet = replay_dask(policy, [str(parquet)], session_key="session")

    def outcome(replay: Any) -> list[tuple[int, str, str, list[int]]]:
        got = replay.results.compute().sort_values("order")
        return list(zip(got["line"], got["session"], got["verdict"], got["triggered_rules"].map(list)))

    first = outcome(from_bag)
    assert [line for line, *_ in first] == list(range(1, 51))
    assert outcome(from_frame) == first
    assert outcome(from_parquet) == first
    here = results_here(cli, policy_json, [parquet])  # Parquet without Dask
    assert here == cluster_records(from_parquet)


def test_diff_on_the_cluster_matches_the_diff_here(
    client: Any, cli: Callable[..., Run], policy_json: Path, trace_files: list[Path], tmp_path: Path
) -> None:
    other = tmp_path / "other.json"
    other.write_text(json.dumps(stricter(POLICY)), encoding="utf-8")
    here = cli("replay", policy_json, *trace_files, "--session-key", "session", "--against", other)
    assert here.status == 1
    result = diff_dask(policy_json.read_bytes(), other.read_bytes(), [str(p) for p in trace_files],
                       session_key="session", sort=False)
    assert result.diff.render(before_name="tools-test", after_name="stricter") == here.err

    assert untimed(result.records) == untimed(here.out.encode("utf-8"))
    there = cli("replay", policy_json, *trace_files, "--session-key", "session", "--against", other,
                "--dask", client.scheduler.address)
    assert (there.status, there.err) == (1, here.err)
    assert untimed(there.out.encode("utf-8")) == untimed(here.out.encode("utf-8"))


def untimed(records: bytes) -> bytes:
    """Difference records without their evaluation times."""
    return re.sub(rb',"eval_time_us":\d+', b"", records)


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**16), files=st.integers(1, 3), partitions=st.integers(1, 4),
       block_size=st.sampled_from([300, 2000, 1 << 20]), examples=st.sampled_from([0, 1, 2, 5]),
       sort=st.booleans(), sessions=st.sampled_from([None, "session"]))
def test_the_cluster_diff_is_the_diff_here(client: Any, seed: int, files: int, partitions: int, block_size: int,
                                           examples: int, sort: bool, sessions: str | None) -> None:
    """Any trace, cut into any files, blocks and parts: the same report and
    the same records, byte for byte, as the comparison in one process."""
    events = mixed_trace(sessions=5, events=90, seed=seed)
    sort = sort or sessions is None  # one session of interleaved clocks goes back in time
    before, after = json.dumps(POLICY).encode(), json.dumps(stricter(POLICY)).encode()
    with tempfile.TemporaryDirectory() as directory:
        cuts = [0, *sorted(random.Random(seed).sample(range(1, 90), files - 1)), 90]
        paths = [str(write_events(Path(directory) / f"t{i}.jsonl", events[a:b]))
                 for i, (a, b) in enumerate(zip(cuts, cuts[1:]))]
        with open(paths[-1], "a", encoding="utf-8") as handle:
            handle.write("not an event\n")
        out = Path(directory) / "here.jsonl"
        with ResultSink(str(out)) as sink:
            here = ReplayRun(paths, before, ReplayOptions(sessions, sort)).diff_here(after, sink, examples)
        there = diff_dask(before, after, paths, session_key=sessions, sort=sort, partitions=partitions,
                          block_size=block_size, examples_per_change=examples)
        assert there.diff.render(before_name="a", after_name="b") == here.render(before_name="a", after_name="b")
        assert untimed(there.records) == untimed(out.read_bytes())
        assert there.before.events == here.events


def test_acceptance_rate_limit_in_event_time_on_the_cluster(client: Any, tmp_path: Path) -> None:
    from replay_support import HOUR, rate_limited_policy

    policy = json.dumps(rate_limited_policy(limit=10)).encode()
    close = [{"type": "tool_call", "ts": T0 + i * 1000, "session": "near"} for i in range(11)]
    spread = [{"type": "tool_call", "ts": T0 + i * (HOUR // 10), "session": "far"} for i in range(11)]
    path = write_events(tmp_path / "e.jsonl", [e for pair in zip(close, spread) for e in pair])
    got = replay_dask(policy, [str(path)], session_key="session").results.compute()
    limited = got[got["verdict"] == "deny"]
    assert list(limited["session"]) == ["near"] and list(limited["ts"]) == [T0 + 10_000]
    summary_only = replay_dask(policy, [str(path)], session_key="session", persist=False).summary
    assert (summary_only.events, summary_only.sessions) == (22, 2)
    assert dict(summary_only.constraints) == {("RateLimit", "tool_call", 10, 60_000): 1}
