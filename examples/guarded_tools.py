"""Guard an agent's tool functions with a Korvanthel policy.

Every call of a guarded tool is first evaluated as one event: the event type
is "tool_call" (configurable), and the fields are those every integration
sends (docs/events.md, built by korvanthel_tools.guarding.mapping): the
tool's name under "tool" and the call's arguments under "arguments", bound
to the function's parameter names with defaults filled in. A "deny" verdict raises ``ToolDenied`` (a
``PermissionError`` whose text is the policy's reason) and the tool does not
run; "audit" and "redact" verdicts are logged and the tool runs; every
requested action is logged too. Logging goes through the standard
``logging`` module, under the logger "korvanthel.guard".

    guard = ToolGuard(PolicyEngine.from_file("guard.zelvoc"))

    @guard.tool()
    def read_file(path: str) -> str: ...

    read_file("/etc/shadow")   # raises ToolDenied when the policy says deny

Run it to see a small agent session against the embedded policy (or pass
--policy with a .zelvoc file or policy JSON of your own):

    python examples/guarded_tools.py
"""

from __future__ import annotations

import argparse
import json
import functools
import inspect
import logging
import sys
from collections.abc import Callable, Coroutine, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, ParamSpec, TypeVar, cast

from _korvanthel_core import PolicyEngine
from korvanthel_tools.guarding.mapping import tool_call_fields

if TYPE_CHECKING:
    from _korvanthel_core import EvalResult

P = ParamSpec("P")
R = TypeVar("R")

logger = logging.getLogger("korvanthel.guard")


class ToolDenied(PermissionError):
    """A guarded tool call that the policy denied; ``str()`` is the reason."""

    def __init__(self, tool: str, result: EvalResult) -> None:
        super().__init__(result["reason"] or f"the policy denies the tool {tool!r}")
        self.tool = tool
        self.result = result


class ToolGuard:
    """Evaluates tool calls with one engine before they run.

    The engine keeps state between events (rate-limit windows, state
    machines), so one guard should see every call of one agent session. A
    guard is as thread-safe as its engine: calls are serialised by the
    engine's own lock.
    """

    def __init__(
        self,
        engine: PolicyEngine,
        *,
        event_type: str = "tool_call",
        log: logging.Logger = logger,
    ) -> None:
        self.engine = engine
        self.event_type = event_type
        self.log = log

    def check(self, tool: str, arguments: Mapping[str, Any]) -> EvalResult:
        """Evaluate one call; raise ToolDenied on "deny", else return the result."""
        fields = tool_call_fields(tool, dict(arguments))
        result = self.engine.evaluate(self.event_type, fields)
        self._report(tool, result)
        if result["verdict"] == "deny":
            raise ToolDenied(tool, result)
        return result

    def tool(self, name: str | None = None) -> Callable[[Callable[P, R]], Callable[P, R]]:
        """Decorator form of ``wrap``: ``@guard.tool()`` or ``@guard.tool("fetch")``."""

        def decorate(func: Callable[P, R]) -> Callable[P, R]:
            return self.wrap(func, name=name)

        return decorate

    def wrap(self, func: Callable[P, R], *, name: str | None = None) -> Callable[P, R]:
        """Return ``func`` guarded; the tool's name defaults to ``func.__name__``.

        Coroutine functions stay coroutine functions (the check runs when the
        coroutine starts). A call whose arguments do not fit the signature
        raises the usual TypeError without being evaluated.
        """
        tool_name: str = name or str(getattr(func, "__name__", repr(func)))
        signature = inspect.signature(func)

        def arguments(args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
            bound = signature.bind(*args, **kwargs)
            bound.apply_defaults()
            fields: dict[str, Any] = {}
            for param_name, value in bound.arguments.items():
                kind = signature.parameters[param_name].kind
                if kind is inspect.Parameter.VAR_KEYWORD:
                    fields.update(value)
                elif kind is inspect.Parameter.VAR_POSITIONAL:
                    fields[param_name] = list(value)
                else:
                    fields[param_name] = value
            return fields

        if inspect.iscoroutinefunction(func):
            async_func = cast(Callable[..., Coroutine[Any, Any, Any]], func)

            @functools.wraps(func)
            async def guarded_async(*args: Any, **kwargs: Any) -> Any:
                self.check(tool_name, arguments(args, kwargs))
                return await async_func(*args, **kwargs)

            return cast(Callable[P, R], guarded_async)

        @functools.wraps(func)
        def guarded(*args: P.args, **kwargs: P.kwargs) -> R:
            self.check(tool_name, arguments(args, kwargs))
            return func(*args, **kwargs)

        return guarded

    def _report(self, tool: str, result: EvalResult) -> None:
        verdict = result["verdict"]
        rules = result["triggered_rules"]
        reason = result["reason"] or "-"
        if verdict == "deny":
            self.log.warning("deny %s: %s (rules %s)", tool, reason, rules)
        elif verdict == "audit":
            self.log.warning("audit %s: %s (rules %s)", tool, reason, rules)
        elif verdict == "redact":
            self.log.info("redact %s: %s (rules %s)", tool, reason, rules)
        else:
            self.log.debug("allow %s (%d us)", tool, result["eval_time_us"])
        for action in result["actions"]:
            self.log.info("policy action %s for %s: %s", action["verb"], tool, action["args"])
        for violation in result["constraint_violations"]:
            self.log.warning(
                "%s on %s: %d events in %d ms (limit %d)",
                violation["kind"], violation["target"], violation["current"],
                violation["window_ms"], violation["limit"],
            )
        for invariant in result["violations"]:
            self.log.warning("invariant %s violated: %s", invariant["invariant"], invariant["message"])


def _field_is(field: str, text: str) -> dict[str, Any]:
    return {"Binary": {
        "op": "Eq",
        "left": {"Ref": {"root": "Event", "fields": [field]}},
        "right": {"Literal": {"String": text}},
    }}


def _field_starts_with(fields: tuple[str, ...], prefix: str) -> dict[str, Any]:
    return {"Predicate": {
        "kind": "StartsWith",
        "subject": {"Ref": {"root": "Event", "fields": list(fields)}},
        "argument": {"Literal": {"String": prefix}},
    }}


def _both(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "And", "left": left, "right": right}}


def _say(text: str) -> dict[str, Any]:
    return {"Literal": {"String": text}}


# The policy of the demo, in the engine's JSON form: no shell, no reading
# under /etc, plain-HTTP requests audited, and at most 5 tool calls a minute.
DEMO_POLICY: dict[str, Any] = {
    "name": "demo-tool-guard",
    "severity": "High",
    "scopes": ["agent"],
    "rules": [
        {
            "id": 1,
            "on_events": ["tool_call"],
            "condition": _field_is("tool", "run_shell"),
            "verdicts": [{"verdict": "Deny", "message": _say("shell access is not allowed for this agent")}],
            "actions": [{"verb": "Notify", "args": [["channel", _say("security")]]}],
        },
        {
            "id": 2,
            "on_events": ["tool_call"],
            "condition": _both(_field_is("tool", "read_file"), _field_starts_with(("arguments", "path"), "/etc/")),
            "verdicts": [{"verdict": "Deny", "message": _say("system configuration files are off limits")}],
            "actions": [],
        },
        {
            "id": 3,
            "on_events": ["tool_call"],
            "condition": _both(_field_is("tool", "http_request"), _field_starts_with(("arguments", "url"), "http://")),
            "verdicts": [{"verdict": "Audit", "message": _say("unencrypted HTTP request")}],
            "actions": [{"verb": "Log", "args": [["url", {"Ref": {"root": "Event", "fields": ["arguments", "url"]}}]]}],
        },
    ],
    "constraints": [{"kind": "RateLimit", "target": "tool_call", "limit": 5, "window_millis": 60000}],
    "state_machines": [],
    "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "hand-written"},
}


def load_engine(path: str | None) -> PolicyEngine:
    """The engine for ``path`` (a .zelvoc container or policy JSON), or for
    the embedded demo policy when no path is given."""
    if path is None:
        return PolicyEngine.from_json(json.dumps(DEMO_POLICY))
    if Path(path).suffix == ".zelvoc":
        return PolicyEngine.from_file(path)
    return PolicyEngine.from_json(Path(path).read_text(encoding="utf-8"))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A small agent session with guarded tools.")
    parser.add_argument("--policy", help="a .zelvoc container or policy JSON (default: the embedded demo policy)")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s", stream=sys.stdout)

    guard = ToolGuard(load_engine(args.policy))

    @guard.tool()
    def read_file(path: str) -> str:
        return f"<contents of {path}>"

    @guard.tool()
    def http_request(url: str, method: str = "GET") -> str:
        return f"{method} {url}: 200 OK"

    @guard.tool()
    def run_shell(command: str) -> str:
        return f"ran {command}"

    session: list[tuple[Callable[..., str], tuple[str, ...]]] = [
        (read_file, ("notes/todo.md",)),
        (http_request, ("https://api.example.com/v1/items",)),
        (http_request, ("http://legacy.example.com/feed",)),
        (read_file, ("/etc/shadow",)),
        (run_shell, ("rm -rf /",)),
        (read_file, ("notes/ideas.md",)),
    ]
    for tool, call_args in session:
        call = f"{tool.__name__}({', '.join(map(repr, call_args))})"
        try:
            print(f"{call} -> {tool(*call_args)}")
        except ToolDenied as denied:
            print(f"{call} -> denied: {denied}")
    print(f"{guard.engine!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
