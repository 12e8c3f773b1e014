"""Where a guard's state lives: one engine per key, or one for everybody.

An engine holds the state that rate limits and temporal invariants need
(sliding windows, monitor states), so which events share an engine decides
what a policy can see. ``EngineStore`` keeps either

- one engine per key (a session, conversation or thread id), made from the
  policy on the key's first event; events without a key share the engine of
  the key ``None``; or
- one shared engine for every key (``shared=True``).

Bounds: a long-running process sees an unbounded number of sessions, so the
per-key store keeps at most ``max_engines`` engines (default 4096), dropping
the least recently used one when a new key arrives, and drops any engine not
used for ``idle_seconds`` (default one hour; ``None`` keeps them). A dropped
key that comes back starts from a fresh engine: its windows and monitors
start over. ``evicted`` counts the engines dropped. Each engine costs about
what its policy costs in memory plus its windows.

Thread-safety: every member may be called from any thread; the store's own
lock is held only to find or insert an engine, never while evaluating (each
engine has its own lock).
"""

from __future__ import annotations

import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Hashable

from _korvanthel_core import PolicyEngine

DEFAULT_MAX_ENGINES = 4096
DEFAULT_IDLE_SECONDS: float | None = 3600.0


class EngineStore:
    """Engines by key, created on first use by ``factory``."""

    def __init__(
        self,
        factory: Callable[[], PolicyEngine],
        *,
        shared: bool = False,
        max_engines: int = DEFAULT_MAX_ENGINES,
        idle_seconds: float | None = DEFAULT_IDLE_SECONDS,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if max_engines < 1:
            raise ValueError("max_engines must be at least 1")
        if idle_seconds is not None and idle_seconds <= 0:
            raise ValueError("idle_seconds must be positive (or None for no idle limit)")
        self._factory = factory
        self._shared_engine: PolicyEngine | None = factory() if shared else None
        self._max = max_engines
        self._idle = idle_seconds
        self._clock = clock
        self._lock = threading.Lock()
        # key -> (engine, time of last use); least recently used first.
        self._engines: OrderedDict[Hashable, tuple[PolicyEngine, float]] = OrderedDict()
        self.evicted = 0

    @property
    def shared(self) -> bool:
        """True when every key gets the same engine (``shared=True``)."""
        return self._shared_engine is not None

    def get(self, key: Hashable | None) -> PolicyEngine:
        """The engine for ``key``, made now if the key is new (or was dropped)."""
        if self._shared_engine is not None:
            return self._shared_engine
        now = self._clock()
        with self._lock:
            self._drop_idle(now)
            entry = self._engines.get(key)
            if entry is not None:
                self._engines[key] = (entry[0], now)
                self._engines.move_to_end(key)
                return entry[0]
        # Load outside the lock: a policy load may take milliseconds.
        engine = self._factory()
        with self._lock:
            entry = self._engines.get(key)
            if entry is not None:  # another thread made it meanwhile
                engine = entry[0]
            self._engines[key] = (engine, now)
            self._engines.move_to_end(key)
            while len(self._engines) > self._max:
                self._engines.popitem(last=False)
                self.evicted += 1
        return engine

    def drop(self, key: Hashable | None) -> bool:
        """Forget the engine of ``key`` (a session that ended); True when
        there was one. A no-op with a shared engine."""
        with self._lock:
            return self._engines.pop(key, None) is not None

    def __contains__(self, key: Hashable | None) -> bool:
        """True when ``get(key)`` has an engine to return without making
        one (always, with a shared engine). An async caller can make a new
        key's engine in a worker thread first, off its event loop."""
        if self._shared_engine is not None:
            return True
        with self._lock:
            return key in self._engines

    def __len__(self) -> int:
        if self._shared_engine is not None:
            return 1
        with self._lock:
            return len(self._engines)

    def _drop_idle(self, now: float) -> None:
        if self._idle is None:
            return
        while self._engines:
            key, (_, last_used) = next(iter(self._engines.items()))
            if now - last_used < self._idle:
                return
            del self._engines[key]
            self.evicted += 1
