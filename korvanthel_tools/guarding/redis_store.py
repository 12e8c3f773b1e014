"""Guard state in Redis, shared exactly by a fleet of guards.

Mechanism (docs/state.md says more): Redis keeps, per state key, the log of
every event committed for it (time, type and the fields the policy can
read, as compact JSON), its
length (the *version*), an *epoch* (a random id given when the key is
made) and from time to time a saved engine state with the version it was
taken at (the log keeps only the entries after it). Each process keeps a
*replica*: an engine with the version it has applied. A decision is one
call of a server-side script, which Redis runs atomically: it appends the
event to the log and answers with the entries the replica has not applied
yet (or the saved state and the entries after it, for a replica too far
behind). The process applies them, then evaluates its own event. So every
replica evaluates every event of the key in the one order the log holds,
and a fleet gives exactly the verdicts one engine fed that order would
give; no retries, no locks, and a decision moves only the events other
processes committed since this one's last decision, whatever the size of a
window.

Failure modes:

- Redis does not answer within ``timeout`` seconds (connect or reply):
  ``state_unavailable`` decides. ``deny`` (default) denies the event with a
  reason naming the store; ``local`` evaluates it on the local replica
  alone (it is not committed: the fleet does not see it), and the replica
  is rebuilt from Redis once it answers again. The client reconnects by
  itself on the next decision.
- The key's state is gone or went back (Redis restarted without its
  append-only file, a ``FLUSHALL``, eviction under ``maxmemory``): a
  replica that had applied more than Redis holds notices it.
  ``on_lost_state`` decides: ``deny`` (default) marks the key in Redis so
  that every process denies its events until the session ends; ``fresh``
  starts the key over.
- A process dies after the script ran and before it answered: the event is
  committed (it counts in windows), though the call it belonged to was
  never forwarded; a guard errs on the side of counting.
- Hosts' clocks differ: events carry the time of the process that saw
  them; windows accept events out of time order, so verdicts stay exact
  with respect to the committed order; keep the clocks synchronised.
"""

from __future__ import annotations

import itertools
import json
import logging
import secrets
import threading
from collections import OrderedDict
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from korvanthel_tools.guarding.state_store import (
    ON_LOST_STATE,
    ON_UNAVAILABLE,
    OnLostState,
    OnUnavailable,
    StateOutcome,
    StateScope,
    denial,
    EngineValues,
    new_replayer,
)

if TYPE_CHECKING:
    from korvanthel_tools._native import Replayer
    from korvanthel_tools.guarding.policy_source import PolicySource

logger = logging.getLogger("korvanthel.state")

DEFAULT_TIMEOUT = 0.5
"""Seconds Redis has to accept a connection and to answer one call."""

SNAPSHOT_MIN_LOG_BYTES = 64 * 1024
"""A state is saved once the log since the last save holds this many bytes,
or as many as the last saved state, whichever is more: the log stays
bounded and saving costs no more than the log it replaces."""

# Append an event; answer what the caller's replica lacks.
# KEYS: the key's hash, its log. ARGV: the replica's version, its epoch (""
# when it has none), the entry, a new epoch, on-lost-state, the minimum log
# bytes before a snapshot is due.
# Reply: {status, epoch, version, base, snapshot or "", due, entries}; status
# "ok", "fresh" (start the replica over from the reply) or "lost".
COMMIT = """
local h, log = KEYS[1], KEYS[2]
local have, epoch, entry = tonumber(ARGV[1]), ARGV[2], ARGV[3]
local cur = redis.call('HMGET', h, 'v', 'base', 'epoch', 'lost', 'logbytes', 'snapbytes', 'duev')
local v, base, e = tonumber(cur[1] or '0'), tonumber(cur[2] or '0'), cur[3]
if cur[4] then return {'lost'} end
local status = 'ok'
if have > 0 and (not e or e ~= epoch or have > v) then
  if ARGV[5] == 'deny' then
    redis.call('HSET', h, 'lost', '1')
    if not e then redis.call('HSET', h, 'epoch', ARGV[4], 'v', 0, 'base', 0) end
    return {'lost'}
  end
  status, have = 'fresh', 0
end
if not e then
  e = ARGV[4]
  redis.call('HSET', h, 'epoch', e, 'v', 0, 'base', 0, 'logbytes', 0)
end
local snap = ''
local from = have
if have < base then
  snap = redis.call('HGET', h, 'snap') or ''
  from = base
  status = 'fresh'
end
local entries = {}
if from < v then entries = redis.call('LRANGE', log, from - base, -1) end
redis.call('RPUSH', log, entry)
v = v + 1
local logbytes = tonumber(cur[5] or '0') + #entry
redis.call('HSET', h, 'v', v, 'logbytes', logbytes)
local due = 0
local limit = math.max(tonumber(ARGV[6]), tonumber(cur[6] or '0'))
if logbytes >= limit and v - tonumber(cur[7] or '0') >= 64 then
  due = 1
  redis.call('HSET', h, 'duev', v)
end
return {status, e, v, base, snap, due, entries}
"""

# Store a saved state taken at a version, and drop the log before it.
# KEYS: hash, log. ARGV: version, state bytes, epoch. Reply: 1 stored, 0 not.
SNAPSHOT = """
local h, log = KEYS[1], KEYS[2]
local cur = redis.call('HMGET', h, 'v', 'base', 'epoch')
if cur[3] ~= ARGV[3] then return 0 end
local sv, v, base = tonumber(ARGV[1]), tonumber(cur[1] or '0'), tonumber(cur[2] or '0')
if sv <= base or sv > v then return 0 end
redis.call('LTRIM', log, sv - base, -1)
local bytes = 0
for _, item in ipairs(redis.call('LRANGE', log, 0, -1)) do bytes = bytes + #item end
redis.call('HSET', h, 'snap', ARGV[2], 'base', sv, 'snapbytes', #ARGV[2], 'logbytes', bytes)
return 1
"""


@dataclass
class _Replica:
    engine: Replayer | None = None
    version: int = 0
    epoch: str = ""
    stale: bool = False  # evaluated events Redis does not hold: rebuild before the next commit

    def __post_init__(self) -> None:
        self.lock = threading.Lock()


def encode_entry(ts_ms: int, event_type: str, fields: dict[str, Any]) -> bytes:
    """One log entry: ``[ts_ms, event_type, fields]`` as compact JSON
    (values JSON cannot hold are written as their text)."""
    return json.dumps([ts_ms, event_type, fields], ensure_ascii=False, separators=(",", ":"), default=str).encode()


class RedisStateStore:
    """States in Redis at ``url`` (``redis://host:port/db``, ``rediss://``,
    ``unix://``), under keys ``<prefix>:<policy id>:<state key>``. Keeps at
    most ``max_replicas`` local replicas (dropping one loses nothing: it is
    rebuilt from Redis). Needs the ``redis`` extra."""

    name = "redis"

    def __init__(
        self,
        policy: PolicySource,
        url: str,
        *,
        scope: StateScope | None = None,
        timeout: float = DEFAULT_TIMEOUT,
        on_lost_state: OnLostState = "deny",
        state_unavailable: OnUnavailable = "deny",
        max_replicas: int = 4096,
        prefix: str = "korvanthel",
        values: EngineValues | None = None,
    ) -> None:
        try:
            import redis
        except ImportError:
            raise ValueError("the Redis state store needs the redis extra: pip install 'korvanthel[redis]'") from None
        if on_lost_state not in ON_LOST_STATE:
            raise ValueError(f"on_lost_state must be one of {ON_LOST_STATE}, not {on_lost_state!r}")
        if state_unavailable not in ON_UNAVAILABLE:
            raise ValueError(f"state_unavailable must be one of {ON_UNAVAILABLE}, not {state_unavailable!r}")
        if not timeout > 0:
            raise ValueError("the state store's timeout must be positive")
        self.policy = policy
        self.values = values
        self.url = safe_url(url)  # for messages: without a password
        self.scope = scope or StateScope("session")
        self.timeout = timeout
        self.on_lost_state = on_lost_state
        self.state_unavailable = state_unavailable
        self._max = max_replicas
        self._errors: tuple[type[BaseException], ...] = (redis.RedisError, OSError)
        self._client = redis.Redis.from_url(
            url, socket_timeout=timeout, socket_connect_timeout=timeout, retry_on_timeout=False,
            health_check_interval=0,
        )
        self._commit = self._client.register_script(COMMIT)
        self._snapshot = self._client.register_script(SNAPSHOT)
        probe = new_replayer(policy)
        self._prefix = f"{prefix}:{probe.policy_id:016x}:"
        # Only the fields the policy can read go into the log (all of them
        # when it reads the whole event): the rest cannot change a verdict.
        read = probe.read_fields
        self._read: frozenset[str] | None = None if read is None else frozenset(read)
        # Epochs: this process's random token and a count, unique per key made.
        self._token = secrets.token_hex(8)
        self._epochs = itertools.count()
        self._lock = threading.Lock()
        self._replicas: OrderedDict[str, _Replica] = OrderedDict()
        self.unavailable = 0
        self.lost = 0
        self.snapshots = 0

    def ping(self) -> str | None:
        """None when Redis answers, else why not."""
        try:
            self._client.ping()
            return None
        except self._errors as exc:
            return f"{type(exc).__name__}: {exc}"

    def decide(self, key: str, ts_ms: int, event_type: str, fields: dict[str, Any]) -> StateOutcome:
        """Commit the event to the key's log in Redis, catch the local replica
        up to it and evaluate it there; Redis out of reach meets
        ``state_unavailable``."""
        if self._read is not None:
            fields = {name: value for name, value in fields.items() if name in self._read}
        entry = encode_entry(ts_ms, event_type, fields)
        replica = self._replica(key)
        with replica.lock:
            if replica.stale:
                replica.engine, replica.version, replica.epoch, replica.stale = None, 0, "", False
            try:
                reply = self._commit(
                    keys=[self._prefix + key, self._prefix + key + ":log"],
                    args=[replica.version, replica.epoch, entry, f"{self._token}.{next(self._epochs)}",
                          self.on_lost_state, SNAPSHOT_MIN_LOG_BYTES],
                )
            except self._errors as exc:
                return self._unavailable(replica, key, ts_ms, event_type, entry, exc)
            status = _text(reply[0])
            if status == "lost":
                self.lost += 1
                reason = (f"the guard's state for {key} was lost by the state store ({self.url}); its events "
                          "are denied (on-lost-state deny)")
                logger.warning("%s", reason)
                return StateOutcome(denial(reason), {"store": self.name, "mode": "lost"}, reason)
            epoch, version, base, snap, due, entries = _text(reply[1]), int(reply[2]), int(reply[3]), reply[4], \
                int(reply[5]), reply[6]
            mode = "shared"
            if status == "fresh":
                if replica.version > 0 and not snap:
                    self.lost += 1
                    mode = "fresh"
                    logger.warning("the state for %s was lost by the state store; starting over (on-lost-state fresh)",
                                   key)
                replica.engine = new_replayer(self.policy, self.values)
                replica.version = 0
                if snap:
                    replica.engine.restore_state(bytes(snap))
                    replica.version = base
            engine = replica.engine if replica.engine is not None else new_replayer(self.policy, self.values)
            replica.engine = engine
            for item in entries:
                _apply(engine, item)
            # Evaluate what every replica will read back from the log.
            result = _apply(engine, entry)
            replica.version, replica.epoch = version, epoch
            if due:
                self._save(key, replica)
        return StateOutcome(result, {"store": self.name, "mode": mode, "version": version})

    def end(self, key: str) -> None:
        """Forget the key's replica; with session scope the session is over,
        so its state in Redis is deleted too (when Redis answers)."""
        with self._lock:
            self._replicas.pop(key, None)
        if self.scope.kind == "session":
            try:
                self._client.delete(self._prefix + key, self._prefix + key + ":log")
            except self._errors as exc:
                logger.warning("could not delete the state of ended %s: %s", key, exc)

    def close(self) -> None:
        """Close the connection pool; the state stays in Redis."""
        self._client.close()

    def __contains__(self, key: object) -> bool:
        return True

    def __len__(self) -> int:
        with self._lock:
            return len(self._replicas)

    def _replica(self, key: str) -> _Replica:
        with self._lock:
            replica = self._replicas.get(key)
            if replica is None:
                replica = self._replicas[key] = _Replica()
                while len(self._replicas) > self._max:
                    self._replicas.popitem(last=False)
            else:
                self._replicas.move_to_end(key)
            return replica

    def _unavailable(self, replica: _Replica, key: str, ts_ms: int, event_type: str, entry: bytes,
                     exc: BaseException) -> StateOutcome:
        self.unavailable += 1
        why = (f"the state store {self.url} did not answer within {self.timeout:g} s "
               f"({type(exc).__name__}: {exc})")
        if self.state_unavailable == "deny":
            reason = f"{why}; denied (state-unavailable deny)"
            return StateOutcome(denial(reason), {"store": self.name, "mode": "unavailable"}, reason)
        logger.warning("%s; decided on this process's state alone (state-unavailable local)", why)
        if replica.engine is None:
            replica.engine = new_replayer(self.policy, self.values)
        replica.stale = True
        result = _apply(replica.engine, entry)
        return StateOutcome(result, {"store": self.name, "mode": "local"})

    def _save(self, key: str, replica: _Replica) -> None:
        assert replica.engine is not None
        try:
            stored = self._snapshot(keys=[self._prefix + key, self._prefix + key + ":log"],
                                    args=[replica.version, replica.engine.save_state(), replica.epoch])
            self.snapshots += int(stored)
        except self._errors as exc:  # the next due commit tries again
            logger.warning("could not save the state of %s: %s", key, exc)


def safe_url(url: str) -> str:
    """``url`` with its password (if any) replaced by ``***``."""
    from urllib.parse import urlsplit, urlunsplit

    parts = urlsplit(url)
    if parts.password is None:
        return url
    netloc = parts.netloc.rsplit("@", 1)[1]
    user = parts.username or ""
    return urlunsplit(parts._replace(netloc=f"{user}:***@{netloc}"))


def _apply(engine: Replayer, entry: bytes) -> dict[str, Any]:
    ts_ms, event_type, fields = json.loads(entry)
    return engine.evaluate_at(ts_ms, event_type, fields)


def _text(value: Any) -> str:
    return value.decode() if isinstance(value, bytes) else str(value)
