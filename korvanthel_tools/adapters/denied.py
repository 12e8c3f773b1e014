"""The exception an adapter raises when it is told to raise on ``deny``."""

from __future__ import annotations

from korvanthel_tools.guarding import Decision


class PolicyDenied(PermissionError):
    """A tool call or result that the policy denied; ``str()`` is the text
    the model would otherwise have received (the reason and any
    violations), ``decision`` the full decision."""

    def __init__(self, decision: Decision) -> None:
        super().__init__(decision.error_text())
        self.decision = decision
