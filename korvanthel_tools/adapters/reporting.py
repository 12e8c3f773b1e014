"""What an adapter reports through ``logging`` (logger ``korvanthel.guard``,
as the example tool guard does) for each decision: ``deny`` and ``audit``
as warnings, ``redact`` as information, ``allow`` at debug level; each
requested action, rate-limit and invariant violation on its own line.

The decision log and OpenTelemetry are the ``Guard``'s own hooks and see
every decision whatever is logged here.
"""

from __future__ import annotations

import logging

from korvanthel_tools.guarding import Decision, violation_texts

LOGGER = logging.getLogger("korvanthel.guard")


def report(decision: Decision, log: logging.Logger = LOGGER) -> None:
    """Log one decision (see the module)."""
    tool = decision.fields.get("tool")
    what = f"{decision.event_type} {tool}"
    shadow = " (shadow)" if decision.shadow else ""
    reason = decision.reason or "-"
    if decision.verdict in ("deny", "audit"):
        log.warning("%s%s %s: %s (rules %s)", decision.verdict, shadow, what, reason, decision.triggered_rules)
    elif decision.verdict == "redact":
        log.info("redact%s %s: %s (rules %s)", shadow, what, reason, decision.triggered_rules)
    elif log.isEnabledFor(logging.DEBUG):
        log.debug("allow %s (%d us)", what, decision.eval_time_us)
    if decision.error is not None:
        log.error("%s: %s", what, decision.error)
    for action in decision.actions:
        log.info("policy action %s for %s: %s", action["verb"], what, action["args"])
    for text in violation_texts(decision):
        log.warning("%s: %s", what, text)
