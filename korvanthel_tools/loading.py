"""Loading an engine from a path that holds either a container or JSON."""

from __future__ import annotations

from pathlib import Path

from _korvanthel_core import PolicyEngine

from korvanthel_tools.container import starts_with_magic
from korvanthel_tools.guarding.policy_loader import LoadedPolicy, PolicyForm, PolicyLoadError, load_policy, policy_form


class ToolError(Exception):
    """A failure the command reports as one line and exit status 2."""


def read_policy_text(path: str) -> str:
    """The file's content as UTF-8 text, for ``PolicyEngine.from_json``."""
    return decode_text(path, read_bytes(path))


def decode_text(path: str, data: bytes) -> str:
    """``data`` (read from ``path``) as UTF-8 text; ToolError naming the path
    and the first bad byte otherwise."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ToolError(f"{path}: not UTF-8 text (byte {exc.start}: {exc.reason})") from None


def read_bytes(path: str) -> bytes:
    """The whole file at ``path``; ToolError naming the path and the system's
    reason when it cannot be read."""
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        raise ToolError(f"{path}: {exc.strerror or exc}") from None


def load_engine(path: str) -> PolicyEngine:
    """The engine for the policy at ``path``: a container (recognised by its
    magic bytes) goes through ``from_file``, policy JSON through
    ``from_json``, a source is compiled first (``policy_loader``)."""
    return PolicyEngine.from_bytes(load(path).engine_data) if _is_source(path) else _load_compiled(path)


def load(path: str) -> LoadedPolicy:
    """The policy at ``path`` in any form, its errors as ToolError."""
    try:
        return load_policy(path)
    except PolicyLoadError as exc:
        raise ToolError(str(exc)) from None


def _is_source(path: str) -> bool:
    return policy_form(read_bytes(path)) is PolicyForm.SOURCE


def _load_compiled(path: str) -> PolicyEngine:
    data = read_bytes(path)
    try:
        if starts_with_magic(data):
            return PolicyEngine.from_file(path)
        return PolicyEngine.from_json(decode_text(path, data).lstrip("\ufeff"))
    except (ValueError, RuntimeError, OSError) as exc:
        raise ToolError(f"{path}: {exc}") from None
