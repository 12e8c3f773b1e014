"""The decision log: one JSON line per guard decision, written off the
caller's path.

A line holds, in this order: ``time`` (UTC, ISO 8601 with microseconds),
``session``, ``event_type``, ``fields`` (after masking), ``verdict`` (the
engine's), ``enforced`` (what the guard did: the verdict, or ``allow`` in
shadow mode), ``shadow``, ``reason``, ``triggered_rules``, ``actions``,
``violations``, ``constraint_violations``, ``eval_time_us``, ``policy``
and ``source_hash``, plus ``error`` when the event could not be evaluated.

Masking: each JSON Pointer (``/arguments/password``) names a field whose
value is written as ``"[masked]"``; a pointer that names nothing in an
event is skipped for that event. A masked text (of at least
``MIN_HIDDEN`` characters) is also replaced wherever else it appears in
the line (a result quoting the password, say), and so are the ``secrets``
the log was given (the MCP proxy's token) and those of the caller's
``log_context`` (a client's ``Authorization`` credentials).

Context: a caller (the HTTP proxy, per request) may set ``log_context`` to
``{"client_address": ..., "secrets": [...]}``; ``write`` takes it with the
decision, and the line gets ``client_address`` after ``session``.

Never blocking: ``write`` only puts the decision on a bounded queue
(``capacity`` lines, default 10,000); a writer thread masks, serialises and
writes. When the queue is full the line is dropped and counted in
``lost``; ``close()`` drains the queue, stops the writer and reports any
lost lines (and write errors) on standard error. A target that cannot be
written any more (disk full, closed pipe) counts every later line as lost.
"""

from __future__ import annotations

import json
import queue
import sys
import threading
from contextvars import ContextVar
from datetime import datetime, timezone
from typing import IO, TYPE_CHECKING, Any

from korvanthel_tools.guarding.pointers import parse_pointer, replace_at, value_at

if TYPE_CHECKING:
    from korvanthel_tools.guarding.decision import Decision

MASK = "[masked]"
DEFAULT_CAPACITY = 10_000
STDERR = "-"
MIN_HIDDEN = 4

log_context: ContextVar[dict[str, Any] | None] = ContextVar("korvanthel_log_context", default=None)
"""Who a decision is about, set by the caller around ``Guard.check``."""


class DecisionLog:
    """A JSON-lines decision log into a file (appended to) or ``-``."""

    def __init__(
        self,
        target: str,
        *,
        masks: list[str] | tuple[str, ...] = (),
        capacity: int = DEFAULT_CAPACITY,
        stream: IO[str] | None = None,
        secrets: list[str] | tuple[str, ...] = (),
    ) -> None:
        """``target`` is a path or ``-`` (standard error); ``stream``, when
        given, is written instead (and not closed). Raises ValueError for a
        mask that is not a JSON Pointer, OSError when the file cannot be
        opened."""
        if capacity < 1:
            raise ValueError("capacity must be at least 1")
        self._masks = [parse_pointer(mask) for mask in masks]
        self.secrets = [secret for secret in secrets if secret]
        self.target = target
        self._owned: IO[str] | None = None
        if stream is not None:
            self._stream = stream
        elif target == STDERR:
            self._stream = sys.stderr
        else:
            self._owned = open(target, "a", encoding="utf-8")
            self._stream = self._owned
        # None is the writer's stop marker.
        self._queue: queue.Queue[tuple[datetime, Decision, dict[str, Any] | None] | None] = queue.Queue(
            maxsize=capacity)
        self._lock = threading.Lock()
        self.lost = 0
        self.written = 0
        self.write_error: str | None = None
        self._closed = False
        self._writer = threading.Thread(target=self._run, name="korvanthel-decision-log", daemon=True)
        self._writer.start()

    def write(self, decision: Decision, *, time: datetime | None = None) -> None:
        """Queue one decision; never blocks. Counted as lost when the queue
        is full or the log is closed."""
        stamp = time or datetime.now(timezone.utc)
        if self._closed:
            self._count_lost()
            return
        try:
            self._queue.put_nowait((stamp, decision, log_context.get()))
        except queue.Full:
            self._count_lost()

    def close(self, *, report: IO[str] | None = None) -> int:
        """Write what is queued, stop the writer, close the file; report
        lost lines and write errors (to ``report``, default standard
        error). Returns the number of lost lines. Idempotent."""
        if self._closed:
            return self.lost
        self._closed = True
        self._queue.put(None)
        self._writer.join()
        while True:  # written by a racing write() after the stop marker
            try:
                self._queue.get_nowait()
            except queue.Empty:
                break
            self._count_lost()
        if self._owned is not None:
            try:
                self._owned.close()
            except OSError as exc:
                self.write_error = self.write_error or str(exc)
        out = report or sys.stderr
        if self.lost:
            print(f"korvanthel: decision log {self.target}: {self.lost} lines lost", file=out)
        if self.write_error:
            print(f"korvanthel: decision log {self.target}: write failed: {self.write_error}", file=out)
        return self.lost

    def render(self, decision: Decision, stamp: datetime, context: dict[str, Any] | None = None) -> str:
        """The JSON line for one decision (without the line feed)."""
        fields: Any = decision.fields
        hidden = list(self.secrets)
        for tokens in self._masks:
            hidden.extend(_texts(value_at(fields, tokens)))
            fields = replace_at(fields, tokens, MASK)
        if context:
            hidden.extend(str(secret) for secret in context.get("secrets", ()))
        record: dict[str, Any] = {
            "time": stamp.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ"),
            "session": decision.session,
            "event_type": decision.event_type,
            "fields": fields,
            "verdict": decision.verdict,
            "enforced": decision.enforced,
            "shadow": decision.shadow,
            "reason": decision.reason,
            "triggered_rules": list(decision.triggered_rules),
            "actions": decision.actions,
            "violations": decision.violations,
            "constraint_violations": decision.constraint_violations,
            "eval_time_us": decision.eval_time_us,
            "policy": decision.policy_name,
            "source_hash": decision.source_hash,
        }
        if context and context.get("client_address") is not None:
            record = {**dict(list(record.items())[:2]), "client_address": context["client_address"],
                      **dict(list(record.items())[2:])}
        if decision.error is not None:
            record["error"] = decision.error
        if "state" in decision.extra:  # the state store's part: store, mode, committed version
            record["state"] = decision.extra["state"]
        hidden = sorted({text for text in hidden if len(text) >= MIN_HIDDEN}, key=len, reverse=True)
        if hidden:
            record = _scrub(record, hidden)
        return json.dumps(record, ensure_ascii=False, default=str, separators=(",", ":"))

    def _count_lost(self) -> None:
        with self._lock:
            self.lost += 1

    def _run(self) -> None:
        while True:
            item = self._queue.get()
            batch = [item]
            # Take what else is waiting, and write it with one flush.
            while item is not None:
                try:
                    item = self._queue.get_nowait()
                except queue.Empty:
                    break
                batch.append(item)
            lines = []
            for entry in batch:
                if entry is None:
                    continue
                stamp, decision, context = entry
                try:
                    lines.append(self.render(decision, stamp, context))
                except (TypeError, ValueError, RecursionError) as exc:
                    lines.append(json.dumps({"error": f"decision could not be logged: {exc}"}))
            self._emit(lines)
            if batch[-1] is None:
                return

    def _emit(self, lines: list[str]) -> None:
        if not lines:
            return
        if self.write_error is not None:
            with self._lock:
                self.lost += len(lines)
            return
        try:
            self._stream.write("".join(line + "\n" for line in lines))
            self._stream.flush()
            self.written += len(lines)
        except (OSError, ValueError) as exc:
            self.write_error = str(exc)
            with self._lock:
                self.lost += len(lines)


def _texts(value: Any, depth: int = 0) -> list[str]:
    """The texts inside a masked value."""
    if isinstance(value, str):
        return [value]
    if depth > 50:
        return []
    if isinstance(value, dict):
        return [text for item in value.values() for text in _texts(item, depth + 1)]
    if isinstance(value, list):
        return [text for item in value for text in _texts(item, depth + 1)]
    return []


def _scrub(value: Any, hidden: list[str], depth: int = 0) -> Any:
    """``value`` with every occurrence of the hidden texts in its strings
    (keys too) replaced by the mask."""
    if isinstance(value, str):
        for text in hidden:
            if text in value:
                value = value.replace(text, MASK)
        return value
    if depth > 200:
        return value
    if isinstance(value, dict):
        return {_scrub(key, hidden, depth + 1): _scrub(item, hidden, depth + 1) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_scrub(item, hidden, depth + 1) for item in value]
    return value
