"""A trace read from one or more JSON-lines files, as one buffer.

The files are joined in the order given, each ending with a line feed, so
a session whose events are spread across files is replayed as one. Lines
are numbered through the whole buffer (blank lines included); ``locate``
turns such a number back into its file and its line in that file.
"""

from __future__ import annotations

import bisect
import sys
from collections.abc import Sequence
from dataclasses import dataclass

from korvanthel_tools.loading import ToolError

_BOM = b"\xef\xbb\xbf"


@dataclass(frozen=True)
class Trace:
    """The files of a trace joined in one buffer, with what it takes to name a line by its file."""

    data: bytes
    files: tuple[str, ...]
    # first_lines[i]: the number, through the whole buffer, of files[i]'s first line
    first_lines: tuple[int, ...]

    @property
    def several(self) -> bool:
        """True when the trace came from more than one file."""
        return len(self.files) > 1

    def named_files(self) -> list[tuple[str, int]] | None:
        """(file, first line) of each file, as the native replayer takes
        them to name lines by file; None when the trace has only one."""
        return list(zip(self.files, self.first_lines)) if self.several else None

    def locate(self, number: int) -> tuple[str | None, int]:
        """(file, line in that file) of a line number through the buffer;
        the file is None when the trace has only one."""
        if not self.several:
            return None, number
        index = bisect.bisect_right(self.first_lines, number) - 1
        index = max(index, 0)
        return self.files[index], number - self.first_lines[index] + 1


def join_inputs(named: Sequence[tuple[str, bytes]]) -> Trace:
    """Join file contents into one trace (each file ends with a line feed)."""
    parts: list[bytes] = []
    first_lines: list[int] = []
    next_line = 1
    for _, data in named:
        first_lines.append(next_line)
        if data.startswith(_BOM):  # a file written with a byte-order mark: its first line is still an event
            data = data[len(_BOM):]
        if data and not data.endswith(b"\n"):
            data += b"\n"
        parts.append(data)
        next_line += data.count(b"\n")
    return Trace(b"".join(parts), tuple(name for name, _ in named), tuple(first_lines))


def read_trace(paths: Sequence[str]) -> Trace:
    """Read each path ('-' for standard input) and join them."""
    named: list[tuple[str, bytes]] = []
    for path in paths:
        try:
            if path == "-":
                data = sys.stdin.buffer.read()
            elif path.lower().endswith((".parquet", ".pq")):
                data = _parquet_as_lines(path)
            else:
                with open(path, "rb") as handle:
                    data = handle.read()
        except OSError as exc:
            raise ToolError(f"{path}: {exc.strerror or exc}") from None
        named.append((path, data))
    return join_inputs(named)


def _parquet_as_lines(path: str) -> bytes:
    """A Parquet file's rows as events lines (row n is line n)."""
    try:
        from korvanthel_tools.replay.rows import parquet_lines
    except ImportError:
        raise ToolError(f"{path}: Parquet input needs the dask extra: pip install 'korvanthel[dask]'") from None
    try:
        lines = parquet_lines(path)
    except OSError:
        raise
    except Exception as exc:  # pyarrow's errors: not a Parquet file, a bad column
        raise ToolError(f"{path}: cannot read Parquet: {exc}") from None
    return "".join(line + "\n" for line in lines).encode("utf-8")
