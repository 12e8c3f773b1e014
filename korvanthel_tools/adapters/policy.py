"""Where an adapter's ``Guard`` comes from: a ``Guard`` as it is, a loaded
``PolicyEngine``, or the path of a policy (a ``.zelvo`` source, a
``.zelvoc`` container or policy JSON, told apart by content).

A ``Guard`` is the way to share state and hooks: the input and output
checks of one adapter always share theirs, and two adapters (say a
LangChain middleware and an MCP interceptor) given the same ``Guard`` share
its engines, decision log and telemetry. A ``PolicyEngine`` is used as it
is, so its state is that one engine's, whatever the scope.
"""

from __future__ import annotations

import os
from typing import Any, TypeAlias

from _korvanthel_core import PolicyEngine

from korvanthel_tools.guarding import Guard
from korvanthel_tools.guarding.event_schemas import UnknownFieldsError, check_policy_fields

PolicyLike: TypeAlias = "Guard | PolicyEngine | str | os.PathLike[str]"
"""What an adapter accepts as its policy."""


def as_guard(
    policy: PolicyLike, *, integration: str | None = None, allow_unknown_fields: bool = False, **options: Any
) -> Guard:
    """The guard for ``policy``. ``options`` are ``Guard``'s keyword
    arguments (``decision_log``, ``telemetry``, ``shadow``,
    ``shared_state``, ``context``, ``config``, ...); they apply only when
    the guard is made here, so passing them with a ``Guard`` is a
    ``TypeError``. A path that cannot be loaded raises ``PolicyLoadError``,
    and so does a policy whose signature does not verify with
    ``verify_key=`` (see ``korvanthel_tools.signing``; an engine has no
    bytes to verify, so it is refused too).

    With ``integration`` (a name of ``event_schemas.INTEGRATIONS``) the
    policy is checked against the events that integration sends: one that
    reads a field it never sends raises ``UnknownFieldsError`` unless
    ``allow_unknown_fields``."""
    guard = _make_guard(policy, options)
    if integration is not None and not allow_unknown_fields:
        try:
            check_policy_fields(guard.policy, integration, opt_out="allow_unknown_fields=True")
        except UnknownFieldsError:
            if guard is not policy:
                guard.close()
            raise
    return guard


def _make_guard(policy: PolicyLike, options: dict[str, Any]) -> Guard:
    if isinstance(policy, Guard):
        if options:
            raise TypeError(f"guard options ({', '.join(sorted(options))}) cannot be applied to an existing Guard")
        return policy
    if isinstance(policy, PolicyEngine):
        return Guard.from_engine(policy, **options)
    if isinstance(policy, (str, os.PathLike)):
        return Guard.from_path(os.fspath(policy), **options)
    raise TypeError(f"policy must be a Guard, a PolicyEngine or a path, not {type(policy).__name__}")
