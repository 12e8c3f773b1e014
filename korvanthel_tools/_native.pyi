"""Native parts of the Korvanthel tools: the policy compiler, printer and checker, and replay in event time."""

from collections.abc import Mapping, Sequence
from os import PathLike
from typing import Any, Final, Literal, NotRequired, TypedDict, final, type_check_only

from _typeshed import structseq

@final
class Diagnostic(structseq[str | int], tuple[str, str, str, int, int, str, str]):
    """One finding of the compiler or the checker, with its place in the source."""

    __match_args__: Final = ("level", "code", "file", "line", "column", "message", "hint")

    @property
    def level(self) -> Literal["error", "warning"]: ...
    @property
    def code(self) -> str: ...
    @property
    def file(self) -> str: ...
    @property
    def line(self) -> int: ...
    @property
    def column(self) -> int: ...
    @property
    def message(self) -> str: ...
    @property
    def hint(self) -> str: ...
    @property
    def rendered(self) -> str: ...

class CompileError(ValueError):
    """The policy source has errors; ``str()`` is their rendered text."""

    diagnostics: list[Diagnostic]

def compile_policy(source: str | bytes, filename: str = "<source>") -> bytes: ...
def compile_policy_json(source: str | bytes, filename: str = "<source>", *, indent: bool = False) -> str: ...
def format_source(source: str | bytes, filename: str = "<source>") -> str: ...
def print_policy(policy: str | bytes) -> str: ...
def check_policy(
    source: str | bytes, filename: str = "<source>", schema: str | bytes | None = None
) -> list[Diagnostic]: ...
def canonical_policy_json(policy: str | bytes, *, indent: bool = False) -> str: ...
def source_hash(source: str | bytes) -> int: ...

# --- Replay in event time -----------------------------------------------------
# The dicts below exist only for type checking (typing.type_check_only); at
# run time they are plain dicts. Import them under ``if TYPE_CHECKING:``.

_Verdict = Literal["allow", "deny", "audit", "redact"]

@type_check_only
class ReplayMismatch(TypedDict):
    line: int  # in its file when the replay was given files
    file: NotRequired[str]  # with files: the line's file
    order: NotRequired[int]  # with files: the line's number through the whole trace
    session: str | None
    type: str
    expected: _Verdict
    actual: _Verdict
    reason: str | None

@type_check_only
class ReplayBadLine(TypedDict):
    line: int  # in its file when the replay was given files
    file: NotRequired[str]  # with files: the line's file
    order: NotRequired[int]  # with files: the line's number through the whole trace
    message: str

@type_check_only
class ReplayConstraintCount(TypedDict):
    kind: Literal["RateLimit", "Quota"]
    target: str
    limit: int
    window_ms: int
    events: int

@type_check_only
class ReplayInvariantCount(TypedDict):
    proof: str
    invariant: str
    kind: Literal["Always", "Eventually", "Never", "Until", "Next"]
    events: int

@type_check_only
class ReplayLatency(TypedDict):
    p50: int
    p90: int
    p99: int
    max: int
    mean: float

@type_check_only
class ReplaySummary(TypedDict):
    events: int  # events evaluated
    sessions: int  # sessions with at least one event evaluated
    verdicts: dict[_Verdict, int]  # all four verdicts
    rules: dict[int, int]  # rule id -> events it fired on, ascending ids
    constraint_violations: list[ReplayConstraintCount]
    violations: list[ReplayInvariantCount]
    expectations: int
    mismatches: list[ReplayMismatch]  # in line order
    bad_lines: list[ReplayBadLine]  # in line order
    latency_us: dict[int, int]  # eval_time_us -> events (exact, mergeable)
    eval_time_us: ReplayLatency | None  # nearest-rank percentiles; None without events

@type_check_only
class ReplayRun(TypedDict):
    results: bytes | None  # the result lines; None when written to `out`
    summary: ReplaySummary
    # with against and examples: (before, after, stopped, started, count,
    # examples) per change, each example (line, file, session, type,
    # before_rules, after_rules, before_reason, after_reason, order) ...
    changes: NotRequired[list[tuple[str, str, tuple[int, ...], tuple[int, ...], int, list[tuple[Any, ...]]]]]
    # ... and each differing event as one compact JSON record
    records: NotRequired[bytes]

class EventLineError(ValueError):
    """A strict replay's first bad line, or an event earlier than the one
    before it in its session without sorting: str() is "line N: problem",
    or "FILE:N: problem" when the replay was given the trace's files.
    From a replay, ``code`` and ``key`` are None. From read_event_line:
    str() is the problem, ``line`` and ``file`` are None, ``code`` names the
    kind of problem ("json", "not_object", "missing_type", "type", "fields",
    "unknown_key", "repeated_key", "ts_number", "ts_text", "ts", "expect",
    "missing_session", "session") and ``key`` is the key of an unknown or
    repeated key."""

    line: int | None
    file: str | None
    problem: str
    code: str | None
    key: str | None

def replay_lines(
    policy: bytes | str,
    data: bytes,
    *,
    session_key: str | None = None,
    sort: bool = False,
    strict: bool = False,
    context: dict[str, Any] | str | None = None,
    config: dict[str, Any] | str | None = None,
    line_numbers: Sequence[int] | None = None,
    out: str | PathLike[str] | None = None,
    start_ms: int | None = None,
    files: Sequence[tuple[str, int]] | None = None,
    against: bytes | str | None = None,
    examples: int | None = None,
) -> ReplayRun:
    """Replay JSON lines of events, each at its own time.

    policy: container bytes, or text that is policy JSON or policy source
    (told apart by content; JSON and containers refused as
    PolicyEngine.from_json / from_bytes refuse them, a source that does not
    compile with CompileError). Each non-blank line of
    data is {"type": str, "fields"?: object, "ts"?: int ms or RFC 3339 text,
    "expect"?: verdict, "comment"?: any, SESSION_KEY: str or int}; without
    session_key a "session" key is skipped.
    session_key: every session gets its own engine, built at the time of
    its first event. An event without ts happens at the time of the one
    before it in its session; a session's first events without ts at
    start_ms (default: the wall clock when the call starts). Without sort
    an event earlier than the one before it in its session raises
    EventLineError; with sort each session is replayed in time order.
    Results are written in the trace's order, one JSON line per good event.
    Bad lines are counted in the summary (strict: the first raises
    EventLineError). context/config: the values stored in every session's
    engine, as a dict (converted as set_context converts values) or a JSON
    object's text. line_numbers: the number of each non-blank line
    (default: its position in data). files: (name, first line) of each file
    the trace was joined from; result lines, summary items and errors then
    name each line by its file and its line there. against: a second policy;
    each line is then read once and evaluated by both, and only the events
    they decide differently are written, as two result lines each (policy,
    then against). examples (with against): the differing events are also
    grouped by change, keeping that many examples of each ("changes"), and
    written as one compact JSON record each ("records"). Runs without the
    interpreter lock.
    """

def replay_file(
    policy: bytes | str,
    path: str | PathLike[str],
    *,
    session_key: str | None = None,
    sort: bool = False,
    strict: bool = False,
    context: dict[str, Any] | str | None = None,
    config: dict[str, Any] | str | None = None,
    line_numbers: Sequence[int] | None = None,
    out: str | PathLike[str] | None = None,
    start_ms: int | None = None,
    files: Sequence[tuple[str, int]] | None = None,
    against: bytes | str | None = None,
    examples: int | None = None,
) -> ReplayRun:
    """replay_lines over the bytes of the file at path (memory-mapped)."""

def pair_result_lines(
    before: bytes, after: bytes, /
) -> tuple[int, int, list[tuple[int, bytes, bytes]], bytes | None]:
    """Two replays' result lines side by side: each stream's number of
    lines, (position, before line, after line) for every pair whose line
    number, verdict or triggered rules may differ, and the first line of
    ``before`` past the end of ``after`` (None if there is none)."""

def read_event_line(
    line: str | bytes, /, *, session_key: str | None = None, extra_keys: Sequence[str] = (),
    require_type: bool = True,
) -> dict[str, Any]:
    """One event line read as the replay reads it: ``type`` (None only
    without ``require_type``), ``fields`` (a dict), ``ts`` (milliseconds or
    None), ``expect`` (a lower-case verdict or None), ``session`` (str, int,
    or None without ``session_key``) and the value of each of
    ``extra_keys`` present (keys the caller checks itself; one named like
    an event key replaces it). A line the replay would refuse raises
    EventLineError."""

def split_by_session(data: bytes, parts: int, *, session_key: str | None = None) -> list[tuple[bytes, bytes]]:
    """The non-blank lines of ``data`` dealt into ``parts`` parts by the
    hash of their session (a line whose session cannot be read, and every
    line without a session key, to part 0): for each part its lines, each
    ending in a line feed, and their 1-based positions in ``data`` as
    native-endian unsigned 64-bit integers."""

def parse_ts(ts: int | str, /) -> int:
    """Milliseconds since 1970 of an event's ts, as a replay reads it."""

def explain_events(
    policy: str | bytes, steps: Sequence[Mapping[str, Any]], *, filename: str = "<source>"
) -> list[dict[str, Any]]: ...

class InternalFault(BaseException):
    """An unexpected fault inside the engine (memory exhausted)."""

@final
class Replayer:
    """One engine evaluated at the times the caller gives. ``policy``:
    container bytes, or policy JSON or source text (as replay_lines takes it)."""

    def __new__(cls, policy: bytes | str) -> Replayer: ...
    def evaluate_at(self, ts_ms: int, event_type: str, fields: dict[str, Any] | None = None) -> dict[str, Any]: ...
    def explain_at(self, ts_ms: int, event_type: str, fields: dict[str, Any] | None = None) -> dict[str, Any]: ...
    def set_context(self, key: str, value: object) -> None: ...
    def set_config(self, key: str, value: object) -> None: ...
    def reset(self, ts_ms: int) -> None: ...
    def status(self) -> str: ...
    def save_state(self) -> bytes: ...
    def restore_state(self, data: bytes) -> None: ...
    def holds_state(self, ts_ms: int) -> bool: ...
    @property
    def event_count(self) -> int: ...
    @property
    def policy_name(self) -> str: ...
    @property
    def policy_id(self) -> int: ...
    @property
    def read_fields(self) -> tuple[str, ...] | None: ...
