"""The identity of a policy's source: ``metadata.source_hash``.

Compiling a source for use (``korvanthel compile``, and every entry point
that loads a ``.zelvo`` source: ``policy_loader``) records a content hash
of the source in ``metadata.source_hash``, so that a decision log, a span,
a replay summary and ``inspect`` can say which version of a policy decided.

The hash is 64-bit FNV-1a over the source file's bytes exactly as read
(comments and layout included; no normalisation): the same source gives
the same hash on every machine, and any change to the file gives another
(with the odds of a 64-bit hash). 0 means "no hash", so a source whose hash
is 0 records 1. A source that states its own ``source_hash N`` line (what
``decompile`` prints) keeps N. The compiler library itself (``compile()``,
``_native.compile_policy``) records nothing: printing a policy and
compiling the text gives that policy back, hash included.
"""

from __future__ import annotations

import json

def source_hash(source: bytes | str) -> int:
    """The 64-bit FNV-1a hash of the source's UTF-8 bytes, never 0: the
    compiler's one definition (``_native.source_hash``), which its loader
    also records for a source given as text to ``Replayer`` and the
    native replay."""
    from korvanthel_tools import _native  # the extension module, loaded when needed

    return _native.source_hash(source)


def compile_recording_hash(source: bytes | str, filename: str, *, as_json: bool = False,
                           indent: bool = False) -> bytes | str:
    """``_native.compile_policy`` (a container) or, with ``as_json``,
    ``compile_policy_json``, with the source's hash recorded where the
    source states none. Raises ``_native.CompileError`` as they do."""
    from korvanthel_tools import _native  # the extension module, loaded when needed
    from korvanthel_tools.container import encode_container

    text = _native.compile_policy_json(source, filename, indent=indent)
    metadata = json.loads(text)["metadata"]
    if metadata["source_hash"] == 0:
        text = _with_hash(text, source_hash(source))
    return text if as_json else encode_container(text.encode("utf-8"))


def _with_hash(text: str, value: int) -> str:
    """The compiler's JSON with its ``source_hash`` (the metadata's, the
    last object of the text) set. Inside a JSON string a quote is always
    escaped, so the key cannot be matched there."""
    for key in ('"source_hash": 0', '"source_hash":0'):
        at = text.rfind(key)
        if at >= 0:
            return f"{text[:at]}{key[:-1]}{value}{text[at + len(key):]}"
    raise AssertionError("the compiler's JSON has no source_hash")
