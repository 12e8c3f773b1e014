"""A policy held as bytes, from which any number of engines are made.

A guard keeps one engine per session, so it keeps the policy itself, not an
engine: ``PolicySource`` holds a ``.zelvoc`` container's bytes or a policy's
JSON text (a source is compiled into a container when it is loaded, through
``policy_loader``), checks once that the engine loads it, and makes a fresh
engine on each ``new_engine()`` (cost: one load of the policy, about what
parsing its JSON costs). It also reads the policy's
``metadata.source_hash``, which the engine does not expose, for decision
logs and telemetry.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from _korvanthel_core import PolicyEngine

from korvanthel_tools.container import HEADER_SIZE, read_header
from korvanthel_tools.guarding.policy_loader import (
    LoadedPolicy,
    PolicyForm,
    PolicyLoadError,
    load_policy,
    policy_from_bytes,
)

__all__ = ["PolicyLoadError", "PolicySource"]

# Field positions of the records when they are written as arrays.
_METADATA_INDEX = 6
_SOURCE_HASH_INDEX = 1


@dataclass(frozen=True)
class PolicySource:
    """The policy's bytes as loaded, its name and its source hash."""

    data: bytes
    is_container: bool
    name: str
    source_hash: int | None
    origin: str

    source: str | None = None
    """The policy's source text, when it was given as source."""

    @classmethod
    def from_path(cls, path: str) -> PolicySource:
        """A ``.zelvoc`` container, policy JSON or policy source in the file
        at ``path``, told apart by content (``policy_loader``)."""
        return cls.from_loaded(load_policy(path))

    @classmethod
    def from_bytes(cls, data: bytes, *, origin: str = "<bytes>") -> PolicySource:
        """A container's bytes, or JSON text or source encoded as UTF-8."""
        return cls.from_loaded(policy_from_bytes(data, origin=origin))

    @classmethod
    def from_json(cls, text: str, *, origin: str = "<json>") -> PolicySource:
        """Policy JSON text; raises ``PolicyLoadError`` (naming ``origin``)
        when the engine refuses it."""
        return cls.from_loaded(LoadedPolicy(origin, PolicyForm.JSON, text.encode("utf-8"), None))

    @classmethod
    def from_loaded(cls, loaded: LoadedPolicy) -> PolicySource:
        """The source of a policy the loader has read: its engine is made here,
        once, so that a policy the engine refuses fails at load."""
        data, is_container, origin = loaded.engine_data, loaded.is_container, loaded.origin
        engine = _make_engine(data, is_container, origin)
        return cls(
            data=data,
            is_container=is_container,
            name=engine.policy_name,
            source_hash=_source_hash(_payload(data) if is_container else data),
            origin=origin,
            source=loaded.source,
        )

    def new_engine(self) -> PolicyEngine:
        """A new engine in its initial state (no events, no context)."""
        return _make_engine(self.data, self.is_container, self.origin)


def _make_engine(data: bytes, is_container: bool, origin: str) -> PolicyEngine:
    try:
        if is_container:
            return PolicyEngine.from_bytes(data)
        return PolicyEngine.from_json(data.decode("utf-8"))
    except (ValueError, RuntimeError) as exc:
        raise PolicyLoadError(f"{origin}: {exc}") from None


def _payload(data: bytes) -> bytes:
    header = read_header(data)
    if header is None:
        return b""
    return data[HEADER_SIZE:HEADER_SIZE + header.payload_length]


def _member(node: Any, key: str, index: int) -> Any:
    """The member ``key`` of an object, or item ``index`` of the same
    member in the array form; None when ``node`` has no such member."""
    if isinstance(node, dict):
        return node.get(key)
    if isinstance(node, list) and len(node) > index:
        return node[index]
    return None


def _source_hash(payload: bytes) -> int | None:
    """``metadata.source_hash`` of the policy JSON (object or array form);
    None when it is absent or not an integer. The engine has already
    accepted the text, so it parses."""
    try:
        root: Any = json.loads(payload)
    except ValueError:
        return None
    value = _member(_member(root, "metadata", _METADATA_INDEX), "source_hash", _SOURCE_HASH_INDEX)
    return value if isinstance(value, int) and not isinstance(value, bool) else None
