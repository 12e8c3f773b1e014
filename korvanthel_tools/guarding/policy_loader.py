"""The one way a policy argument is read: every command and entry point
(``compile``'s siblings ``test``, ``explain``, ``replay`` and its
``--against``, ``inspect``, ``mcp-proxy``, the adapters, ``Guard``, the
Dask backtest) loads a policy here.

A policy's bytes are told apart by their content, never by the file's name:

- a ``.zelvoc`` container: its magic bytes;
- policy JSON: UTF-8 text whose first character, after white space and a
  byte-order mark, is ``{`` or ``[``;
- policy source (``.zelvo``): any other UTF-8 text. It is compiled here,
  and a source that does not compile raises ``PolicySourceError`` with the
  compiler's diagnostics, wherever it is loaded.

Errors are ``PolicyLoadError`` (a ``ValueError``), whose text names the
file and the reason; the commands print it as their one error line.
Cost: reading the file, plus one compilation for a source (about what
parsing its JSON costs, times a few).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from korvanthel_tools.container import starts_with_magic

if TYPE_CHECKING:
    from korvanthel_tools import _native

_BOM = "\ufeff"


class PolicyLoadError(ValueError):
    """The policy could not be read or the engine refused it; the text says
    which file (or input) and why."""


class PolicySourceError(PolicyLoadError):
    """A policy source that does not compile: ``diagnostics`` are the
    compiler's findings (file:line:col, message, hint), ``str()`` names
    the file and renders them."""

    def __init__(self, origin: str, diagnostics: list[_native.Diagnostic]) -> None:
        rendered = "".join(d.rendered for d in diagnostics).rstrip("\n")
        super().__init__(f"{origin} has errors:\n{rendered}")
        self.origin = origin
        self.diagnostics = diagnostics


class PolicyForm(enum.Enum):
    """The three forms a policy comes in, told apart by content."""
    CONTAINER = "container"
    JSON = "json"
    SOURCE = "source"


def policy_form(data: bytes) -> PolicyForm:
    """The form of a policy's bytes, by content (see the module's text).
    Bytes that are not UTF-8 text count as source: compiling them reports
    where the text is broken."""
    if starts_with_magic(data):
        return PolicyForm.CONTAINER
    head = data[:4096].decode("utf-8", errors="replace").lstrip(_BOM + " \t\r\n")
    return PolicyForm.JSON if head[:1] in ("{", "[") else PolicyForm.SOURCE


@dataclass(frozen=True)
class LoadedPolicy:
    """A policy as the engine takes it, and where it came from.

    ``engine_data`` is a container's bytes (``is_container``) or policy JSON
    text in UTF-8: what ``PolicyEngine.from_bytes`` / ``from_json`` and the
    native replayer accept. A source is compiled into a container.
    ``source`` is the source text when the policy was given as source (the
    checker reads it for its lines and columns)."""

    origin: str
    form: PolicyForm
    engine_data: bytes
    source: str | None

    @property
    def is_container(self) -> bool:
        """Whether the engine takes the bytes as a container (a container, or a source compiled here)."""
        return self.form is not PolicyForm.JSON

    def engine_argument(self) -> bytes | str:
        """What ``_native.replay_lines`` and its siblings take: container
        bytes as they are, JSON as text."""
        return self.engine_data if self.is_container else self.engine_data.decode("utf-8")


def read_policy_file(path: str) -> bytes:
    """The bytes of a policy file; PolicyLoadError naming the path when it cannot be read."""
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        raise PolicyLoadError(f"{path}: {exc.strerror or exc}") from None


def load_policy(path: str) -> LoadedPolicy:
    """The policy in the file at ``path``, in any of the three forms."""
    return policy_from_bytes(read_policy_file(path), origin=path)


def policy_from_bytes(data: bytes, *, origin: str = "<bytes>") -> LoadedPolicy:
    """The policy in ``data``, in any of the three forms; ``origin`` names
    it in errors and diagnostics."""
    form = policy_form(data)
    if form is PolicyForm.CONTAINER:
        return LoadedPolicy(origin, form, bytes(data), None)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise PolicyLoadError(f"{origin}: not a .zelvoc container and not UTF-8 text (byte {exc.start})") from None
    if form is PolicyForm.JSON:
        return LoadedPolicy(origin, form, text.lstrip(_BOM).encode("utf-8"), None)
    return LoadedPolicy(origin, form, compile_source(text, origin), text)


def compile_source(text: str, origin: str) -> bytes:
    """A source compiled into a container, its hash recorded
    (``source_hash``); ``PolicySourceError`` when it does not compile."""
    from korvanthel_tools import _native  # the extension module, loaded when needed
    from korvanthel_tools.guarding.source_hash import compile_recording_hash

    try:
        container = compile_recording_hash(text, origin)
        assert isinstance(container, bytes)
        return container
    except _native.CompileError as exc:
        raise PolicySourceError(origin, list(exc.diagnostics)) from None
