"""What the adapters share, and the base install: the package imports
without any framework, and an adapter without its framework says which
extra to install."""

from __future__ import annotations

import importlib
import json
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import pytest
from adapters_support import POLICY_JSON, make_guard

from _korvanthel_core import PolicyEngine
from korvanthel_tools.adapters import as_guard
from korvanthel_tools.adapters.content import content_text
from korvanthel_tools.guarding import Guard

FRAMEWORKS = ("agents", "langchain", "langchain_core", "langgraph", "langchain_mcp_adapters", "mcp", "openai")

# Runs in a fresh interpreter in which every framework's modules fail to
# import, as they would without the extras.
WITHOUT_FRAMEWORKS = textwrap.dedent(f"""
    import importlib.abc, json, sys

    class Block(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            if name.split(".")[0] in {FRAMEWORKS!r}:
                raise ImportError(f"blocked: {{name}}")
            return None

    sys.meta_path.insert(0, Block())
    import korvanthel_tools, korvanthel_tools.adapters, korvanthel_tools.guarding
    from korvanthel_tools.adapters import as_guard
    errors = {{}}
    for name in ("openai_agents", "langchain", "langchain_mcp"):
        try:
            __import__("korvanthel_tools.adapters." + name)
        except ImportError as exc:
            errors[name] = str(exc)
    loaded = sorted(m for m in sys.modules if m.split(".")[0] in {FRAMEWORKS!r})
    print(json.dumps({{"errors": errors, "loaded": loaded}}))
""")


def test_base_install_imports_without_any_framework() -> None:
    done = subprocess.run([sys.executable, "-c", WITHOUT_FRAMEWORKS], capture_output=True, text=True, timeout=120,
                          check=False)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["loaded"] == []
    assert set(report["errors"]) == {"openai_agents", "langchain", "langchain_mcp"}
    assert "korvanthel[openai-agents]" in report["errors"]["openai_agents"]
    assert "korvanthel[langchain]" in report["errors"]["langchain"]
    assert "korvanthel[langchain-mcp]" in report["errors"]["langchain_mcp"]


def test_as_guard_takes_a_guard_an_engine_or_a_path(tmp_path: Path) -> None:
    guard = make_guard()
    assert as_guard(guard) is guard
    path = tmp_path / "policy.json"
    path.write_text(POLICY_JSON, encoding="utf-8")
    for policy in (str(path), path):
        made = as_guard(policy, shadow=True)
        assert isinstance(made, Guard) and made.shadow and made.policy_name == "adapters-test"
    engine = PolicyEngine.from_json(POLICY_JSON)
    from_engine = as_guard(engine)
    from_engine.check_call("shell", {"command": "ls"}, session="a")
    from_engine.check_call("shell", {"command": "ls"}, session="b")
    assert engine.event_count == 2  # the engine itself, whatever the session


@pytest.mark.parametrize(("policy", "options", "error"), [
    (make_guard(), {"shadow": True}, TypeError),
    (42, {}, TypeError),
    ("/no/such/policy.json", {}, ValueError),  # PolicyLoadError
])
def test_as_guard_refuses(policy: Any, options: dict[str, Any], error: type[Exception]) -> None:
    with pytest.raises(error):
        as_guard(policy, **options)


class TextObject:
    type = "text"
    text = "from an object"


class ImageModel:
    type = "image"

    def model_dump_json(self) -> str:
        return '{"type": "image"}'


class Model:
    def model_dump_json(self) -> str:
        return '{"a": 1}'


@pytest.mark.parametrize(("value", "text"), [
    (None, ""),
    ("plain", "plain"),
    ({"type": "text", "text": "block"}, "block"),
    ([{"type": "input_text", "text": "in"}, {"type": "output_text", "text": "out"}], "in\nout"),
    (TextObject(), "from an object"),
    ([{"type": "text", "text": "a"}, "b", {"type": "image", "url": "x"}, TextObject()], "a\nb\nfrom an object"),
    (ImageModel(), ""),
    ([{"title": "t", "type": "article"}], '[{"title": "t", "type": "article"}]'),  # data, not blocks
    ({"k": [1, 2]}, '{"k": [1, 2]}'),
    (Model(), '{"a": 1}'),
    ({"café": object.__name__}, '{"café": "object"}'),
])
def test_content_text(value: Any, text: str) -> None:
    assert content_text(value) == text


def test_content_text_of_a_value_json_cannot_write_is_its_str() -> None:
    looped: list[Any] = []
    looped.append(looped)
    assert content_text({"x": looped}) == str({"x": looped})


# Each adapter's refusals of bad options, with the exact messages: (framework
# module to skip without, adapter module, class, options, error, message).
BAD_OPTIONS: list[tuple[str, str, str, dict[str, Any], type[Exception], str | None]] = [
    ("langchain.agents", "langchain", "PolicyMiddleware", {"on_deny": "reject"}, ValueError,
     "on_deny must be 'message' or 'raise', not 'reject'"),
    ("langchain.agents", "langchain", "PolicyMiddleware", {"scope": "conversation"}, ValueError,
     "scope must be 'thread', 'run', 'process' or a function, not 'conversation'"),
    ("langchain.agents", "langchain", "PolicyMiddleware", {"shadow": True}, TypeError, None),
    ("agents", "openai_agents", "ToolGuardrails", {"on_deny": "ignore"}, ValueError,
     "on_deny must be 'reject' or 'raise', not 'ignore'"),
    ("agents", "openai_agents", "ToolGuardrails", {"scope": "thread"}, ValueError,
     "scope must be 'conversation', 'run', 'process' or a function, not 'thread'"),
    ("agents", "openai_agents", "ToolGuardrails", {"shadow": True}, TypeError, None),
    ("langchain_mcp_adapters", "langchain_mcp", "PolicyInterceptor", {"scope": "run"}, ValueError,
     "scope must be 'thread', 'process' or a function, not 'run'"),
]


@pytest.mark.parametrize(("framework", "module", "name", "options", "error", "message"), BAD_OPTIONS,
                         ids=[f"{row[2]}-{next(iter(row[3]))}" for row in BAD_OPTIONS])
def test_bad_options_are_refused(
    framework: str, module: str, name: str, options: dict[str, Any], error: type[Exception], message: str | None
) -> None:
    pytest.importorskip(framework)
    adapter = getattr(importlib.import_module(f"korvanthel_tools.adapters.{module}"), name)
    with pytest.raises(error) as info:
        adapter(make_guard(), **options)
    if message is not None:
        assert str(info.value) == message
