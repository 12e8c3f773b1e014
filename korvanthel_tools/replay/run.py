"""One ``korvanthel replay`` run: where the results go, and replaying the
trace here or on a Dask cluster, against one policy or two."""

from __future__ import annotations

import enum
import logging
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any, TextIO

from tqdm import tqdm

from korvanthel_tools.loading import ToolError
from korvanthel_tools.replay.native import ReplayOptions, replay_native, summary_from_native
from korvanthel_tools.replay.policy_diff import PolicyDiff, diff_from_changes
from korvanthel_tools.replay.summary import ReplaySummary
from korvanthel_tools.replay.trace import Trace, read_trace

if TYPE_CHECKING:
    from distributed import Client

# Automatic progress appears only once a replay has run this long, so short
# files on a terminal stay quiet.
_AUTO_DELAY_S = 0.5
_CONNECT_TIMEOUT_S = 30


class Progress(enum.Enum):
    """When a replay shows its steps on standard error."""

    OFF = "off"
    AUTO = "auto"  # a terminal: show the steps when the replay takes a while
    ON = "on"  # asked for: show them from the start


class ResultSink:
    """Where the result lines go (a file or standard output), and where the
    report goes (standard output when the results go to a file, standard
    error otherwise). Opening the file first means a bad -o fails before
    any work."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self._file: IO[bytes] | None = None
        self.report: TextIO = sys.stdout if path else sys.stderr

    def __enter__(self) -> ResultSink:
        if self.path is not None:
            try:
                self._file = open(self.path, "wb")
            except OSError as exc:
                raise ToolError(f"{self.path}: {exc.strerror or exc}") from None
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        if self._file is not None:
            self._file.close()
        else:
            sys.stdout.flush()

    def hand_over(self) -> str | None:
        """The output file's path, for a writer that opens it itself; None
        when the results go to standard output."""
        if self._file is None or self.path is None:
            return None
        self._file.close()
        self._file = None
        return self.path

    def write(self, data: bytes) -> None:
        """Append result lines (bytes, each ending with a line feed) to the results."""
        if not data:
            return
        if self.path is not None:
            if self._file is None:
                self._file = open(self.path, "ab")
            self._file.write(data)
        else:
            sys.stdout.flush()
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()


@contextmanager
def dask_client(address: str) -> Iterator[Client]:
    """A client of ``local:N`` (N worker processes on this machine, on
    loopback) or of the scheduler at an address; closed on leaving."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise ToolError("--dask needs the dask extra: pip install 'korvanthel[dask]'") from None
    cluster: LocalCluster | None = None
    try:
        if address.startswith("local:"):
            count = address.removeprefix("local:")
            if not count.isdigit() or int(count) < 1:
                raise ToolError(f"--dask {address!r}: expected local:N with N a positive number of workers")
            cluster = LocalCluster(
                n_workers=int(count), threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address=None, silence_logs=logging.ERROR,
            )
            client = Client(cluster)
        else:
            client = Client(address, timeout=_CONNECT_TIMEOUT_S)
    except (OSError, TimeoutError, ValueError) as exc:
        if cluster is not None:
            cluster.close()
        raise ToolError(f"--dask {address}: cannot reach the cluster: {exc}") from None
    try:
        yield client
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


@dataclass
class ReplayRun:
    """One ``korvanthel replay``: the trace's files, the policy's bytes and
    the options, replayed here or on a cluster, against the policy alone or
    compared with another."""

    paths: list[str]
    policy: bytes
    options: ReplayOptions
    progress: Progress = Progress.OFF

    def _steps(self, total: int) -> tqdm[Any]:
        return tqdm(
            total=total, desc="replay", unit="step", file=sys.stderr,
            disable=self.progress is Progress.OFF,
            delay=_AUTO_DELAY_S if self.progress is Progress.AUTO else 0.0, leave=False,
        )

    def here(self, sink: ResultSink) -> ReplaySummary:
        """Replay in this process; results in input order into ``sink``."""
        with self._steps(2) as bar:
            trace = read_trace(self.paths)
            bar.update()
            run = replay_native(self.policy, trace.data, self.options, out=sink.hand_over(),
                                files=trace.named_files())
            if run.results is not None:
                sink.write(run.results)
            bar.update()
        return summary_from_native(run.summary, sessions=self.options.session_key is not None)

    def diff_here(self, other: bytes, sink: ResultSink, examples: int) -> PolicyDiff:
        """Replay through both policies in one pass in this process; the
        differing events into ``sink``."""
        with self._steps(3) as bar:
            trace = read_trace(self.paths)
            bar.update()
            run = replay_native(self.policy, trace.data, self.options, files=trace.named_files(), against=other,
                                examples=max(examples, 0))
            bar.update()
            diff = diff_from_changes(run.changes or [], int(run.summary["events"]), examples_per_change=examples)
            diff.bad_lines = summary_from_native(run.summary).bad_lines
            sink.write(run.records or b"")
            bar.update()
        return diff

    def on_dask(self, address: str, sink: ResultSink) -> ReplaySummary:
        """Replay on the cluster at ``address`` (see ``dask_client``); results
        in input order into ``sink``."""
        from korvanthel_tools.replay.dask_replay import replay_dask

        with self._steps(2) as bar, dask_client(address):
            replay = replay_dask(
                self.policy, self.paths, session_key=self.options.session_key, sort=self.options.sort,
                strict=self.options.strict, context=self.options.context, config=self.options.config,
            )
            bar.update()
            ordered = replay.results.sort_values("order")
            for part in ordered.to_delayed():
                frame = part.compute()
                if len(frame):
                    sink.write(("\n".join(frame["record"].tolist()) + "\n").encode("utf-8"))
            bar.update()
        return replay.summary

    def diff_on_dask(self, address: str, other: bytes, sink: ResultSink, examples: int) -> PolicyDiff:
        """Replay through both policies on the cluster at ``address``; the
        differing events, in input order, into ``sink``."""
        from korvanthel_tools.replay.dask_replay import diff_dask

        with self._steps(1) as bar, dask_client(address):
            result = diff_dask(
                self.policy, other, self.paths, session_key=self.options.session_key, sort=self.options.sort,
                strict=self.options.strict, context=self.options.context, config=self.options.config,
                examples_per_change=examples,
            )
            sink.write(result.records)
            bar.update()
        return result.diff
