"""Replaying parsed events through one engine."""

from __future__ import annotations

import enum
import json
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TextIO

from tqdm import tqdm

from korvanthel_tools.events import ReplayEvent
from korvanthel_tools.loading import ToolError
from korvanthel_tools.summary import ReplaySummary

if TYPE_CHECKING:
    from _korvanthel_core import PolicyEngine

# Automatic bars appear only once a replay has run this long, so short files
# on a terminal stay quiet.
_AUTO_DELAY_S = 0.5


class Progress(enum.Enum):
    OFF = "off"
    AUTO = "auto"  # a terminal: show the bar when the replay takes a while
    ON = "on"  # asked for: show it from the first event


def run_replay(
    engine: PolicyEngine,
    events: Sequence[ReplayEvent],
    out: TextIO,
    *,
    progress: Progress = Progress.OFF,
) -> ReplaySummary:
    """Evaluate ``events`` in order, write one JSON line per result to
    ``out`` and return the summary. Each line holds the event's line number
    and type, the result dictionary, and, when the event had one, its
    expectation and whether it was met.

    An event the engine refuses (a value nested deeper than it converts)
    raises ToolError naming its line; results written before it stay.
    """
    summary = ReplaySummary()
    bar = tqdm(
        events,
        desc="replay",
        unit="event",
        file=sys.stderr,
        disable=progress is Progress.OFF,
        delay=_AUTO_DELAY_S if progress is Progress.AUTO else 0.0,
        leave=False,
    )
    try:
        for event in bar:
            try:
                result = engine.evaluate(event.event_type, event.fields)
            except (TypeError, ValueError, RecursionError) as exc:
                raise ToolError(f"line {event.line}: the engine refused the event: {exc}") from None
            mismatch = summary.add(event, result)
            record: dict[str, Any] = {"line": event.line, "type": event.event_type, "result": result}
            if event.expect is not None:
                record["expect"] = event.expect
                record["match"] = mismatch is None
            out.write(json.dumps(record, ensure_ascii=False) + "\n")
    finally:
        bar.close()
    return summary
