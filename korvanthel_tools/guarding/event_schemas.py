"""The event schemas the integrations ship, and the check a policy passes
before an integration runs it.

Each integration sends the events ``mapping`` builds, with the identifiers
it knows; ``schemas/NAME.json`` describes them in the checker's format
(docs/checker.md, docs/events.md). ``check_policy_fields`` runs the checker
with that schema over the policy's source (or, for a compiled policy, over
its decompiled source) and raises ``UnknownFieldsError`` when the policy
reads an event field the integration never sends: such a rule would read
null and never fire, which for a guard means failing open.

Cost: one compilation of the policy at start, nothing per event.
"""

from __future__ import annotations

import logging
from importlib import resources
from typing import TYPE_CHECKING

from korvanthel_tools.guarding.policy_loader import PolicyLoadError

if TYPE_CHECKING:
    from korvanthel_tools import _native
    from korvanthel_tools.guarding.policy_source import PolicySource

INTEGRATIONS: tuple[str, ...] = ("mcp", "openai-agents", "langchain")
"""The names ``korvanthel check --for`` and ``Guard(integration=...)`` take."""

UNKNOWN_FIELD = "unknown-field"

logger = logging.getLogger("korvanthel.guard")


class UnknownFieldsError(PolicyLoadError):
    """The policy reads event fields the integration never sends.
    ``diagnostics`` are the checker's findings; ``str()`` renders them and
    names the opt-out."""

    def __init__(self, origin: str, integration: str, diagnostics: list[_native.Diagnostic], opt_out: str) -> None:
        rendered = "".join(d.rendered for d in diagnostics).rstrip("\n")
        super().__init__(
            f"{origin} reads event fields that {integration} never sends (they would read null):\n"
            f"{rendered}\n"
            f"fix the policy (docs/events.md lists the fields), or pass {opt_out} to run it anyway"
        )
        self.integration = integration
        self.diagnostics = diagnostics


def schema_text(integration: str) -> str:
    """The JSON schema of the events ``integration`` sends."""
    if integration not in INTEGRATIONS:
        raise ValueError(f"unknown integration {integration!r}: one of {', '.join(INTEGRATIONS)}")
    return resources.files("korvanthel_tools.guarding").joinpath("schemas", f"{integration}.json").read_text("utf-8")


def field_findings(policy: PolicySource, integration: str) -> list[_native.Diagnostic]:
    """The checker's findings for ``policy`` against ``integration``'s
    schema: on its source as written, else on its decompiled source (a
    policy the language cannot print, or an engine given as it is, has
    none)."""
    from korvanthel_tools import _native  # the extension module, loaded when needed

    schema = schema_text(integration)
    if policy.source is not None:
        return list(_native.check_policy(policy.source, policy.origin, schema))
    if not policy.data:
        return []
    try:
        printed = _native.print_policy(policy.data if policy.is_container else policy.data.decode("utf-8"))
    except ValueError:
        return []
    return list(_native.check_policy(printed, f"{policy.origin} (decompiled)", schema))


def check_policy_fields(policy: PolicySource, integration: str, *, opt_out: str) -> None:
    """Raise ``UnknownFieldsError`` when ``policy`` reads an event field
    ``integration`` never sends; log the checker's other findings against
    the schema (an event type it never sends) as warnings."""
    findings = field_findings(policy, integration)
    unknown = [d for d in findings if d.code == UNKNOWN_FIELD]
    if unknown:
        raise UnknownFieldsError(policy.origin, integration, unknown, opt_out)
    for d in findings:
        if d.code in ("unknown-event-type", "unreachable-rule", "never-holds"):
            logger.warning("%s", d.rendered.rstrip("\n"))
