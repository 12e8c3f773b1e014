"""Where a guard's state lives between decisions: the state store.

A decision reads and changes the state of one *key*: the windows, monitor
states and event count of the policy's engine for that key. The key comes
from the event through a ``StateScope``:

- ``session``: one state per session (conversation, MCP session); events
  without a session share the key of no session;
- ``global``: one state for every event the guard (or the fleet) sees;
- ``field:<pointer>``: one state per value of an event field, named by a
  JSON Pointer into the event's fields (``field:/client``,
  ``field:/arguments/tenant``; a bare name ``user`` means ``/user``), so a
  quota holds per user or tenant across sessions, processes and hosts.
  Events without the field share the key of the missing value.

Two stores implement ``decide``: ``MemoryStateStore`` below (the default,
one process) and ``RedisStateStore`` (``redis_store``, a fleet sharing
Redis). Each engine evaluates an event at the event's time (``ts_ms``,
milliseconds since 1970), so the verdicts depend on the events and their
times alone, never on when or where they are evaluated.

Nothing is lost silently. The memory store keeps at most ``max_keys``
states; when a new key needs room it drops first a state that can no longer
change a verdict (every window entry aged out, every monitor in its initial
state), idle or not; only when every state still matters does it drop the
least recently used one, count it in ``dropped_live``, log a warning, and
remember its key (up to ``LOST_KEYS_KEPT`` keys). An event of a remembered
key then meets ``on_lost_state``: ``deny`` (the default: the guard fails
closed, every event of that key is denied, with the reason, until the
session ends) or ``fresh`` (it starts over from the initial state, and the
decision records that it did).
"""

from __future__ import annotations

import json
import logging
import threading
import time
from collections import OrderedDict
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, Protocol

from korvanthel_tools.guarding.pointers import parse_pointer

if TYPE_CHECKING:
    from korvanthel_tools._native import Replayer
    from korvanthel_tools.guarding.policy_source import PolicySource

logger = logging.getLogger("korvanthel.state")

OnLostState = Literal["deny", "fresh"]
OnUnavailable = Literal["deny", "local"]
ON_LOST_STATE = ("deny", "fresh")
ON_UNAVAILABLE = ("deny", "local")

LOST_KEYS_KEPT = 65_536
"""Keys of dropped states remembered by the memory store; beyond it the
oldest is forgotten (and that forgetting is counted and logged too)."""


def now_ms() -> int:
    """The wall clock in milliseconds since 1970: the time of an event."""
    return time.time_ns() // 1_000_000


@dataclass(frozen=True)
class StateScope:
    """Which events share a state (see the module's text)."""

    kind: Literal["session", "global", "field"]
    pointer: str = ""
    tokens: tuple[str, ...] = ()

    @classmethod
    def parse(cls, text: str) -> StateScope:
        """``session``, ``global`` or ``field:<pointer>``; ValueError otherwise."""
        if text in ("session", "global"):
            return cls(text)  # type: ignore[arg-type]
        if text.startswith("field:") and len(text) > len("field:"):
            pointer = text[len("field:"):]
            if not pointer.startswith("/"):
                pointer = "/" + pointer
            return cls("field", pointer, parse_pointer(pointer))
        raise ValueError(f"state scope {text!r}: expected session, global or field:<pointer>")

    def __str__(self) -> str:
        return f"field:{self.pointer}" if self.kind == "field" else self.kind

    def key_of(self, fields: Mapping[str, Any], session: str | None) -> str:
        """The key of an event's state."""
        if self.kind == "global":
            return "global"
        if self.kind == "session":
            return "session" if session is None else f"session:{session}"
        value: Any = fields
        for token in self.tokens:
            if isinstance(value, Mapping) and token in value:
                value = value[token]
            elif isinstance(value, list) and token.isdigit() and int(token) < len(value):
                value = value[int(token)]
            else:
                return f"field:{self.pointer}"  # the missing value's key
        return f"field:{self.pointer}=" + json.dumps(value, sort_keys=True, ensure_ascii=False, default=str)


@dataclass
class StateOutcome:
    """A store's answer for one event: the engine's result (a result dict as
    ``PolicyEngine.evaluate`` returns) and what the store did, for the
    decision log and spans (``note``: ``store``, ``mode`` and, with Redis,
    ``version``, the event's position in the key's committed order; empty
    for an ordinary decision of the memory store).
    ``error`` is set when the store itself denied the event."""

    result: dict[str, Any]
    note: dict[str, Any] = field(default_factory=dict)
    error: str | None = None


def denial(reason: str) -> dict[str, Any]:
    """A result that denies an event the store could not decide."""
    return {
        "verdict": "deny", "reason": reason, "triggered_rules": [], "eval_time_us": 0,
        "actions": [], "violations": [], "constraint_violations": [],
    }


class StateStore(Protocol):
    """What ``Guard`` asks of a store. Every member may be called from any
    thread."""

    name: str
    scope: StateScope

    def decide(self, key: str, ts_ms: int, event_type: str, fields: dict[str, Any]) -> StateOutcome:
        """Evaluate one event at ``ts_ms`` with the state ``key`` names, and
        commit it there; a store that cannot decide answers a denial."""

    def end(self, key: str) -> None:
        """The key's session ended: forget what the store keeps for it."""

    def close(self) -> None:
        """Release what the store holds open (connections); its states are kept
        where they live."""


@dataclass(frozen=True)
class EngineValues:
    """The context and configuration values stored in every engine a store
    makes (a policy reads them as ``context.KEY`` and ``config.KEY``)."""

    context: Mapping[str, Any] = field(default_factory=dict)
    config: Mapping[str, Any] = field(default_factory=dict)


def new_replayer(policy: PolicySource, values: EngineValues | None = None) -> Replayer:
    """An engine for the policy, evaluated at the times it is given, holding
    ``values``; TypeError or ValueError for a value the engine refuses."""
    from korvanthel_tools._native import Replayer

    engine = Replayer(policy.data if policy.is_container else policy.data.decode("utf-8"))
    if values is not None:
        for key, value in values.context.items():
            engine.set_context(key, value)
        for key, value in values.config.items():
            engine.set_config(key, value)
    return engine


@dataclass
class _Held:
    engine: Replayer
    last_ms: int
    lock: threading.Lock = field(default_factory=threading.Lock)


class MemoryStateStore:
    """States in this process's memory, one engine per key.

    Cost per decision: one engine evaluation plus a dict lookup; making room
    for a new key scans the least recently used keys until it finds a state
    that no longer matters (at most ``max_keys`` native calls, only when the
    store is full). ``idle_ms``: a state unused that long is dropped when it
    no longer matters (a state that still matters is kept until room is
    needed).
    """

    name = "memory"

    def __init__(
        self,
        policy: PolicySource,
        *,
        scope: StateScope | None = None,
        max_keys: int = 4096,
        idle_ms: int | None = 3_600_000,
        on_lost_state: OnLostState = "deny",
        values: EngineValues | None = None,
    ) -> None:
        if max_keys < 1:
            raise ValueError("max_keys must be at least 1")
        if on_lost_state not in ON_LOST_STATE:
            raise ValueError(f"on_lost_state must be one of {ON_LOST_STATE}, not {on_lost_state!r}")
        self.policy = policy
        self.values = values
        self.scope = scope or StateScope("session")
        self._max = max_keys
        self._idle_ms = idle_ms
        self.on_lost_state = on_lost_state
        self._lock = threading.Lock()
        self._held: OrderedDict[str, _Held] = OrderedDict()  # least recently used first
        self._lost: OrderedDict[str, None] = OrderedDict()
        self.dropped_idle = 0
        self.dropped_live = 0
        self.lost_keys_forgotten = 0

    def decide(self, key: str, ts_ms: int, event_type: str, fields: dict[str, Any]) -> StateOutcome:
        """Evaluate with the key's engine, made on first use; a key whose
        state was dropped meets ``on_lost_state``."""
        note: dict[str, Any] = {}  # nothing to record for an ordinary decision
        with self._lock:
            held = self._held.get(key)
            if held is None:
                if key in self._lost:
                    if self.on_lost_state == "deny":
                        reason = (f"the guard's state for {key} was dropped to make room (at most {self._max} "
                                  "states in memory); its events are denied (on-lost-state deny)")
                        return StateOutcome(denial(reason), {"store": self.name, "mode": "lost"}, reason)
                    del self._lost[key]
                    note = {"store": self.name, "mode": "fresh"}
                held = _Held(new_replayer(self.policy, self.values), ts_ms)
                self._held[key] = held
                self._make_room(ts_ms)
            held.last_ms = max(held.last_ms, ts_ms)
            self._held.move_to_end(key)
        with held.lock:
            return StateOutcome(held.engine.evaluate_at(ts_ms, event_type, fields), note)

    def end(self, key: str) -> None:
        """Forget the key's state, and that it was ever dropped."""
        with self._lock:
            self._held.pop(key, None)
            self._lost.pop(key, None)

    def close(self) -> None:
        """Nothing to release: the states live in this process."""

    def _make_room(self, ts_ms: int) -> None:
        if self._idle_ms is not None:
            idle = []
            for key, held in self._held.items():  # least recently used first: stop at the first one in use
                if ts_ms - held.last_ms < self._idle_ms:
                    break
                idle.append(key)
            for key in idle:
                if not self._held[key].engine.holds_state(ts_ms):
                    del self._held[key]
                    self.dropped_idle += 1
        if len(self._held) <= self._max:
            return
        newest = next(reversed(self._held))
        for key, held in self._held.items():
            if key != newest and not held.engine.holds_state(ts_ms):
                del self._held[key]
                self.dropped_idle += 1
                return
        key, _ = self._held.popitem(last=False)
        self.dropped_live += 1
        self._lost[key] = None
        logger.warning("state store full (%d states): dropped the state of %s, which still matters; "
                       "its next event meets on-lost-state %s", self._max, key, self.on_lost_state)
        if len(self._lost) > LOST_KEYS_KEPT:
            forgotten, _ = self._lost.popitem(last=False)
            self.lost_keys_forgotten += 1
            logger.warning("forgot that the state of %s was dropped (more than %d dropped keys)", forgotten,
                           LOST_KEYS_KEPT)

    # What integrations written for EngineStore ask of ``guard.engines``.
    def __contains__(self, key: object) -> bool:
        return True  # an engine is made inside decide(), cheaply

    def __len__(self) -> int:
        with self._lock:
            return len(self._held)
