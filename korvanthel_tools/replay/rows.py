"""Rows of a table (a Parquet file, a frame) as events lines.

A row's columns are the keys of an events line (``type``, ``fields``,
``ts``, the session key, ``expect``...). Missing values are left out;
``fields`` may be an object (a struct or map column) or its JSON text;
timestamps become milliseconds since the epoch (UTC when they carry no
zone).
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from datetime import datetime, timezone
from typing import Any, Final

import numpy as np
import pandas as pd

PARQUET_SUFFIXES: Final = (".parquet", ".pq")


def is_parquet(path: str) -> bool:
    """True when ``path`` names a Parquet file by its suffix."""
    return path.lower().endswith(PARQUET_SUFFIXES)


def row_to_line(row: Mapping[Any, Any]) -> str:
    """One row as an events line (compact JSON text)."""
    obj: dict[str, Any] = {}
    for key, value in row.items():
        value = plain_value(value)
        if value is None:
            continue
        if key == "fields" and isinstance(value, str):
            try:
                value = json.loads(value)
            except ValueError:
                pass
        obj[str(key)] = value
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))


def plain_value(value: Any) -> Any:
    """A cell as a JSON value: numpy scalars and arrays, Arrow maps
    (lists of pairs), timestamps; NaN and NaT are missing."""
    if value is None or value is pd.NaT or value is pd.NA:
        return None
    if isinstance(value, float) and value != value:
        return None
    if isinstance(value, pd.Timestamp):
        if value.tzinfo is None:
            value = value.tz_localize("UTC")
        return int(value.value // 1_000_000)
    if isinstance(value, datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=timezone.utc)
        return int(value.timestamp() * 1000)
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return [plain_value(v) for v in value.tolist()]
    if isinstance(value, dict):
        return {str(k): plain_value(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        if value and all(isinstance(v, tuple) and len(v) == 2 for v in value):
            return {str(k): plain_value(v) for k, v in value}  # an Arrow map
        return [plain_value(v) for v in value]
    return value


def parquet_lines(path: str) -> list[str]:
    """Every row of a Parquet file as an events line, in file order."""
    import pyarrow.parquet as pq

    return [row_to_line(row) for row in pq.read_table(path).to_pylist()]
