"""Keeping policy loads off the event loop.

A check evaluates one event on the engine of its key: about a microsecond,
with no I/O, so async adapters run it inline in the event loop. Only the
first event of a new key costs more: the key's engine is made by loading
the policy (milliseconds for a large one). ``engine_ready`` makes that
engine in a worker thread, so that the loop is never held for a load.
"""

from __future__ import annotations

import asyncio

from korvanthel_tools.guarding import Guard


async def engine_ready(guard: Guard, key: str | None) -> None:
    """Make the engine of ``key`` in a worker thread unless it exists."""
    if key not in guard.engines:
        await asyncio.to_thread(guard.engines.get, key)
