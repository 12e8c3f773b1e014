"""The checks of an adapter's keyword options (``on_deny``, ``scope``):
each names the option, the values it takes and the value it was given."""

from __future__ import annotations


def check_option(name: str, value: object, choices: tuple[str, ...], *, function: bool = False) -> None:
    """Raise ValueError unless ``value`` is one of ``choices`` (or, with
    ``function``, a callable), saying e.g. "scope must be 'thread',
    'process' or a function, not 'x'"."""
    if function and callable(value):
        return
    if value not in choices:
        allowed = [repr(choice) for choice in choices] + (["a function"] if function else [])
        listed = ", ".join(allowed[:-1]) + " or " + allowed[-1] if len(allowed) > 1 else allowed[0]
        raise ValueError(f"{name} must be {listed}, not {value!r}")
