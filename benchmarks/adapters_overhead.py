"""What guarding adds to an agent step, in each framework.

One agent step here is a whole run of an agent built once, with a scripted
model (no network): the model calls one tool, the tool answers, the model
answers. Each round times
one run without the guard and one with it (the agent's tools guarded by
``examples/agent_tools_policy.json`` without its rate limit, the call
allowed), alternating so that
both see the same machine state; the figures are medians over the rounds,
and the ratio is guarded over unguarded.

    python benchmarks/adapters_overhead.py [--rounds N]

Needs the extras openai-agents and langchain (``scripts/test_adapters.sh``
builds an environment with both: build/venv-adapters).
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import json
import statistics
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

# The example agents' policy without its rate limit, which a benchmark's
# thousands of calls would exceed.
_EXAMPLE = json.loads((Path(__file__).resolve().parents[1] / "examples" / "agent_tools_policy.json").read_text())
POLICY_JSON = json.dumps({**_EXAMPLE, "constraints": []})


def agents_pair() -> tuple[Callable[[], None], Callable[[], None]]:
    from agents import Agent, Runner, function_tool, set_trace_processors
    from agents.testing import ScriptedModel, assistant_message, function_call

    from korvanthel_tools.adapters.openai_agents import ToolGuardrails
    from korvanthel_tools.guarding import Guard

    set_trace_processors([])

    @function_tool
    def read_file(path: str) -> str:
        """Read a file."""
        return "standup at 10"

    guardrails = ToolGuardrails(Guard.from_json(POLICY_JSON), scope="process")
    loop = asyncio.new_event_loop()
    steps = [[function_call("read_file", {"path": "notes.txt"}, call_id="c1")], [assistant_message("done")]]

    def make(guarded: bool) -> Callable[[], None]:
        model = ScriptedModel()
        agent = Agent(name="ops", model=model, tools=[read_file])
        if guarded:
            agent = guardrails.guard_agent(agent)

        def run() -> None:
            model.extend(steps)
            loop.run_until_complete(Runner.run(agent, "go"))

        return run

    return make(False), make(True)


def langchain_pair() -> tuple[Callable[[], None], Callable[[], None]]:
    from langchain.agents import create_agent
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage
    from langchain_core.runnables import Runnable
    from langchain_core.tools import tool

    from korvanthel_tools.adapters.langchain import PolicyMiddleware
    from korvanthel_tools.guarding import Guard

    class ScriptedChatModel(GenericFakeChatModel):
        def bind_tools(self, tools: Sequence[Any], *, tool_choice: str | None = None,
                       **kwargs: Any) -> Runnable[Any, AIMessage]:
            return self

    @tool
    def read_file(path: str) -> str:
        """Read a file."""
        return "standup at 10"

    middleware = PolicyMiddleware(Guard.from_json(POLICY_JSON), scope="process")
    call = {"name": "read_file", "args": {"path": "notes.txt"}, "id": "c1", "type": "tool_call"}
    state: Any = {"messages": [{"role": "user", "content": "go"}]}

    def make(guarded: bool) -> Callable[[], None]:
        model = ScriptedChatModel(messages=itertools.cycle([AIMessage(content="", tool_calls=[call]),
                                                            AIMessage(content="done")]))
        agent = create_agent(model, tools=[read_file], middleware=[middleware] if guarded else [])

        def run() -> None:
            agent.invoke(state)

        return run

    return make(False), make(True)


def measure(plain: Callable[[], None], guarded: Callable[[], None], rounds: int) -> tuple[float, float]:
    for _ in range(5):  # warm-up: imports, caches, the guard's first engine
        plain()
        guarded()
    times: dict[bool, list[int]] = {False: [], True: []}
    for _ in range(rounds):
        for is_guarded, run in ((False, plain), (True, guarded)):
            start = time.perf_counter_ns()
            run()
            times[is_guarded].append(time.perf_counter_ns() - start)
    return statistics.median(times[False]) / 1e3, statistics.median(times[True]) / 1e3


def main() -> int:
    parser = argparse.ArgumentParser(description="What guarding adds to an agent step.")
    parser.add_argument("--rounds", type=int, default=200)
    rounds = parser.parse_args().rounds
    print("| Framework (one step: a tool call and its result) | Unguarded | Guarded | Ratio |")
    print("|---|---:|---:|---:|")
    for name, pair in (("OpenAI Agents SDK, tool guardrails", agents_pair),
                       ("LangChain create_agent, middleware", langchain_pair)):
        plain_us, guarded_us = measure(*pair(), rounds)
        print(f"| {name} | {plain_us:,.0f} µs | {guarded_us:,.0f} µs | {guarded_us / plain_us:.3f}x |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
