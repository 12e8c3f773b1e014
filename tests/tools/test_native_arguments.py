"""Every function and method of the tools' extension module reads its
arguments as PolicyEngine's members do: the signature its docstring gives is
the one it binds, and a wrong call is refused in PolicyEngine's words before
anything runs."""

from __future__ import annotations

import inspect
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from korvanthel_tools import _native
from tools_support import EXAMPLES


def members() -> Iterator[tuple[str, Callable[..., Any]]]:
    replayer = _native.Replayer((EXAMPLES / "guard_policy.zelvo").read_text())
    for name, value in vars(_native).items():
        if inspect.isbuiltin(value) and name != "parse_ts":
            yield name, value
    for name, value in vars(_native.Replayer).items():
        if not name.startswith("_") and callable(value) and "$self, " in (value.__text_signature__ or value.__doc__ or ""):
            yield f"Replayer.{name}", getattr(replayer, name)
    yield "Replayer", _native.Replayer


def documented(member: Callable[..., Any]) -> inspect.Signature:
    """The signature a member's docstring gives (its return annotation dropped)."""
    head = getattr(member, "__text_signature__", None) or (member.__doc__ or "").split("\n", 1)[0].split(" -> ", 1)[0]
    params = head[head.index("("):].replace("$self, ", "")
    scope: dict[str, Any] = {}
    exec(f"def documented{params}: pass", scope)
    return inspect.signature(scope["documented"])


def refusal(member: Callable[..., Any], *args: Any, **kwargs: Any) -> str:
    with pytest.raises(TypeError) as refused:
        member(*args, **kwargs)
    return str(refused.value)


def plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


@pytest.mark.parametrize(("name", "member"), list(members()), ids=lambda v: v if isinstance(v, str) else "")
def test_wrong_calls_are_refused_in_the_binders_words(name: str, member: Callable[..., Any]) -> None:
    short = name.rsplit(".", 1)[-1] + "()"
    params = list(documented(member).parameters.values())
    positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    by_keyword = all(p.kind is not p.POSITIONAL_ONLY for p in params)
    required = [p.name for p in positional if p.default is p.empty]
    filler = [object()] * len(positional)

    if by_keyword:
        assert refusal(member, *filler, no_such=1) == f"{short} got an unexpected keyword argument 'no_such'"
    given = len(positional) + 1
    took = (f"{len(positional)}" if len(required) == len(positional)
            else f"from {len(required)} to {len(positional)}")
    assert refusal(member, *filler, object()) == (
        f"{short} takes {took} positional arguments but {given} {'was' if given == 1 else 'were'} given")
    if required:
        quoted = [f"'{r}'" for r in required]
        listed = quoted[0] if len(quoted) == 1 else (
            " and ".join(quoted) if len(quoted) == 2 else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
        assert refusal(member) == f"{short} missing {plural(len(required), 'required positional argument')}: {listed}"
    if required and by_keyword:
        assert refusal(member, *filler, **{required[0]: 1}) == (
            f"{short} got multiple values for argument '{required[0]}'")
