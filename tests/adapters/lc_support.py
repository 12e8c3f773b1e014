"""A scripted LangChain chat model: LangChain's own generic fake chat model,
taught to accept tools, which answers with a fixed sequence of messages and
records what it was given."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, BaseMessage, ToolMessage
from langchain_core.outputs import ChatResult
from langchain_core.runnables import Runnable


class ScriptedChatModel(GenericFakeChatModel):
    """Answers each model call with the next scripted message."""

    received: list[list[BaseMessage]] = []

    def bind_tools(self, tools: Sequence[Any], *, tool_choice: str | None = None, **kwargs: Any) -> Runnable[Any, AIMessage]:
        return self

    def _generate(self, messages: list[BaseMessage], stop: list[str] | None = None, run_manager: Any = None,
                  **kwargs: Any) -> ChatResult:
        self.received.append(list(messages))
        return super()._generate(messages, stop, run_manager, **kwargs)

    def tool_messages(self) -> list[ToolMessage]:
        """The tool messages of the last model input, in order."""
        return [m for m in self.received[-1] if isinstance(m, ToolMessage)]


def scripted_chat(*calls: tuple[str, dict[str, Any]], batch: bool = False) -> ScriptedChatModel:
    """A model that makes each call in turn (all in one message with
    ``batch``), then answers "done"."""
    tool_calls = [{"name": name, "args": args, "id": f"c{i}", "type": "tool_call"} for i, (name, args) in enumerate(calls)]
    steps = [AIMessage(content="", tool_calls=tool_calls)] if batch else [
        AIMessage(content="", tool_calls=[call]) for call in tool_calls]
    return ScriptedChatModel(messages=iter([*steps, AIMessage(content="done")]), received=[])
