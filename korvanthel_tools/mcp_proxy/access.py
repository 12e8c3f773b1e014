"""Who may talk to the HTTP proxy: the checks every request passes before
anything reaches the guard or the upstream.

- ``Origin`` (DNS rebinding: a web page the user visits driving a local
  server through the user's browser). A request whose ``Origin`` is present
  and not allowed gets ``403``. A loopback listener allows loopback origins
  (``http``/``https`` on ``localhost``, ``127.0.0.0/8``, ``[::1]``, any
  port); any listener allows the origins given with ``--allow-origin``
  (scheme://host[:port], exact; ``*`` allows every origin). A request
  without ``Origin`` (not from a browser) passes.
- ``Host`` (the other half of DNS rebinding: the browser sends the name the
  attacker's page used). A loopback listener accepts ``localhost``,
  ``127.0.0.1``, ``[::1]`` and the listening address; any listener accepts
  its own address and the names given with ``--allow-host`` (a name, or
  name:port for that port only). A listener on a wildcard address
  (``0.0.0.0``, ``::``) has no name of its own: without ``--allow-host`` it
  accepts any ``Host`` (its token is what protects it then). A wrong or
  missing ``Host`` gets ``421``.
- The proxy's token (``--auth-token-file``): every request must carry it
  as ``Proxy-Authorization: Bearer TOKEN``, or as ``Authorization: Bearer
  TOKEN`` when the upstream needs no ``Authorization`` of its own. A
  missing or wrong token gets ``401``. The token is compared in constant
  time and never forwarded: ``Proxy-Authorization`` is always removed, and
  an ``Authorization`` header that holds the proxy's token is removed;
  any other ``Authorization`` (the client's credentials for the upstream)
  goes on unchanged.

Every refusal is a JSON-RPC error body; each check costs a few dictionary
and string operations per request.
"""

from __future__ import annotations

import hmac
import ipaddress
import os
import stat
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from urllib.parse import urlsplit

LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})
MIN_TOKEN_LENGTH = 16

Refusal = tuple[int, str, dict[str, str]]
"""(HTTP status, the error text, extra response headers)."""


def is_loopback(host: str) -> bool:
    """True for ``localhost`` and loopback address literals."""
    host = host.strip("[]").lower()
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def is_wildcard(host: str) -> bool:
    """Whether host is an address that listens on every interface (0.0.0.0, ::)."""
    host = host.strip("[]")
    try:
        return ipaddress.ip_address(host).is_unspecified
    except ValueError:
        return host == ""


@dataclass
class Access:
    """The checks of one listener. The defaults (no listener given) check
    nothing, for an ``HttpProxy`` used inside a test or another server."""

    listen_host: str | None = None
    allow_origins: list[str] = field(default_factory=list)
    allow_hosts: list[str] = field(default_factory=list)
    token: bytes | None = None

    def __post_init__(self) -> None:
        self.loopback = self.listen_host is not None and is_loopback(self.listen_host)
        self._origins = {_normal_origin(origin) for origin in self.allow_origins}
        hosts = {host.lower() for host in self.allow_hosts}
        if self.listen_host is not None and not is_wildcard(self.listen_host):
            hosts.add(_bracketed(self.listen_host.lower()))
        if self.loopback:
            hosts |= {"localhost", "127.0.0.1", "[::1]"}
        self._hosts = hosts
        self._check_host = self.listen_host is not None and (not is_wildcard(self.listen_host) or bool(self.allow_hosts))

    def check(self, headers: Mapping[str, str]) -> Refusal | None:
        """None when the request may go on, else why not."""
        origin = headers.get("origin")
        if origin is not None and self.listen_host is not None and not self._origin_allowed(origin):
            return 403, f"Forbidden: origin {_printable(origin)} is not allowed (--allow-origin)", {}
        if self._check_host:
            host = headers.get("host")
            if host is None or not self._host_allowed(host):
                return 421, f"Misdirected Request: host {_printable(host or '')} is not served here (--allow-host)", {}
        if self.token is not None and not self._authorized(headers):
            return 401, "Unauthorized: this proxy needs its bearer token", {
                "www-authenticate": 'Bearer realm="korvanthel mcp-proxy"'}
        return None

    def upstream_headers(self, headers: list[tuple[str, str]]) -> list[tuple[str, str]]:
        """The request headers for the upstream, without the proxy's token."""
        if self.token is None:
            return headers
        return [(name, value) for name, value in headers
                if not (name.lower() == "authorization" and self._holds_token(value))]

    def _origin_allowed(self, origin: str) -> bool:
        if "*" in self._origins or _normal_origin(origin) in self._origins:
            return True
        if not self.loopback:
            return False
        parts = urlsplit(origin)
        return parts.scheme in ("http", "https") and parts.hostname is not None and is_loopback(parts.hostname)

    def _host_allowed(self, host: str) -> bool:
        host = host.strip().lower()
        if host in self._hosts:
            return True
        name = host.rsplit(":", 1)[0] if not host.endswith("]") else host
        return name in self._hosts

    def _authorized(self, headers: Mapping[str, str]) -> bool:
        return any(self._holds_token(headers.get(name)) for name in ("proxy-authorization", "authorization"))

    def _holds_token(self, value: str | None) -> bool:
        if value is None or self.token is None:
            return False
        scheme, _, credentials = value.strip().partition(" ")
        if scheme.lower() != "bearer":
            return False
        return hmac.compare_digest(credentials.strip().encode("utf-8", "replace"), self.token)


def read_token_file(path: str) -> bytes:
    """The token in ``path`` (surrounding white space removed). Raises
    ValueError when the file is not a regular file owned by this user (or
    root) that only its owner can read and write, or the token is shorter
    than ``MIN_TOKEN_LENGTH``."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
    except OSError as exc:
        raise ValueError(f"{path}: {exc.strerror or exc}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{path}: not a regular file")
        if info.st_mode & 0o077:
            raise ValueError(
                f"{path}: permissions {stat.S_IMODE(info.st_mode):04o} let others read or change the token; "
                f"chmod 600 {path}")
        if info.st_uid not in (os.getuid(), 0):
            raise ValueError(f"{path}: owned by another user")
        data = os.read(fd, 4096)
    finally:
        os.close(fd)
    token = data.strip()
    if len(token) < MIN_TOKEN_LENGTH or any(byte < 0x21 or byte > 0x7E for byte in token):
        raise ValueError(
            f"{path}: the token must be at least {MIN_TOKEN_LENGTH} printable ASCII characters without spaces")
    return token


def _normal_origin(origin: str) -> str:
    origin = origin.strip().lower()
    if origin == "*":
        return origin
    parts = urlsplit(origin)
    if not parts.scheme or parts.hostname is None:
        return origin
    default = {"http": 80, "https": 443}.get(parts.scheme)
    try:
        port = parts.port
    except ValueError:
        return origin
    host = _bracketed(parts.hostname)
    return f"{parts.scheme}://{host}" + (f":{port}" if port is not None and port != default else "")


def _bracketed(host: str) -> str:
    return f"[{host}]" if ":" in host and not host.startswith("[") else host


def _printable(text: str, limit: int = 100) -> str:
    text = "".join(char if char.isprintable() else "?" for char in text[:limit])
    return repr(text)


def parse_names(values: Iterable[str]) -> list[str]:
    """Values of a repeatable option, each possibly comma-separated."""
    return [part.strip() for value in values for part in value.split(",") if part.strip()]
