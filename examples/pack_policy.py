"""Pack a compiled policy's JSON into a .zelvoc container.

The container is a 12-byte little-endian header followed by the JSON text:
magic 0x015C91AE, format version 1, a reserved 16-bit field (0), and the
payload length in bytes. The JSON is checked to be well-formed and is
stored byte for byte as it is in the file.

    python examples/pack_policy.py                       # guard_policy.json -> guard_policy.zelvoc
    python examples/pack_policy.py policy.json out.zelvoc
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

from korvanthel_tools.container import HEADER_SIZE, encode_container

HERE = Path(__file__).resolve().parent


def pack(payload: bytes) -> bytes:
    """The container holding `payload` (the policy's UTF-8 JSON text)."""
    return encode_container(payload)


def pack_file(source: Path, target: Path) -> int:
    payload = source.read_bytes()
    json.loads(payload.decode("utf-8"))  # refuse text that is not JSON at all
    data = pack(payload)
    target.write_bytes(data)
    return len(data)


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    source = Path(argv[0]) if argv else HERE / "guard_policy.json"
    target = Path(argv[1]) if len(argv) > 1 else source.with_suffix(".zelvoc")
    try:
        size = pack_file(source, target)
    except (OSError, UnicodeDecodeError, ValueError) as error:
        print(f"pack_policy: {source}: {error}", file=sys.stderr)
        return 1
    print(f"wrote {target} ({size} bytes: {HEADER_SIZE}-byte header + {size - HEADER_SIZE}-byte payload)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
