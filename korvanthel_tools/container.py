"""The ``.zelvoc`` container header: building one and reading one back.

Layout (all fields little-endian): u32 magic 0x015C91AE, u16 format version
(1), u16 reserved, u32 payload length, then the payload, the policy's JSON
text. The engine's own readers are the authority on whether a container
loads; this module only produces containers and describes their header
without judging the payload.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

MAGIC = 0x015C91AE
FORMAT_VERSION = 1
HEADER_SIZE = 12
MAX_PAYLOAD_LENGTH = 0xFFFFFFFF

_HEADER = struct.Struct("<IHHI")
assert _HEADER.size == HEADER_SIZE


@dataclass(frozen=True)
class ContainerHeader:
    """The four header fields as read from the first 12 bytes."""

    magic: int
    format_version: int
    reserved: int
    payload_length: int

    @property
    def magic_ok(self) -> bool:
        """True when the magic number is the container's."""
        return self.magic == MAGIC

    @property
    def version_ok(self) -> bool:
        """True when the format version is one this code writes (and the engine reads)."""
        return self.format_version == FORMAT_VERSION


def encode_container(
    payload: bytes,
    *,
    reserved: int = 0,
    magic: int = MAGIC,
    format_version: int = FORMAT_VERSION,
    payload_length: int | None = None,
) -> bytes:
    """Return header + payload for a policy's JSON text encoded as UTF-8.

    ``magic``, ``format_version`` and ``payload_length`` (by default the
    payload's length) may be given to write a header the engine refuses, as
    tests and fuzz seeds do. Raises ValueError when the payload does not fit
    the 32-bit length field or a header field does not fit its width.
    """
    if len(payload) > MAX_PAYLOAD_LENGTH:
        raise ValueError(
            f"payload of {len(payload)} bytes exceeds the container's limit of "
            f"{MAX_PAYLOAD_LENGTH} bytes"
        )
    length = len(payload) if payload_length is None else payload_length
    for name, value, bits in (
        ("reserved field", reserved, 16),
        ("magic", magic, 32),
        ("format version", format_version, 16),
        ("payload length", length, 32),
    ):
        if not 0 <= value < 1 << bits:
            raise ValueError(f"{name} {value} does not fit in {bits} bits")
    return _HEADER.pack(magic, format_version, reserved, length) + payload


def read_header(data: bytes) -> ContainerHeader | None:
    """Decode the header from the start of ``data``; None when it is shorter
    than a header. No field is checked: see ``magic_ok`` and ``version_ok``."""
    if len(data) < HEADER_SIZE:
        return None
    magic, version, reserved, length = _HEADER.unpack_from(data)
    return ContainerHeader(magic, version, reserved, length)


def starts_with_magic(data: bytes) -> bool:
    """True when ``data`` begins with the container's magic bytes."""
    return len(data) >= 4 and struct.unpack_from("<I", data)[0] == MAGIC
