"""Tools for policy authors, built on the ``_korvanthel_core`` engine.

The command line entry point is ``korvanthel`` (see ``korvanthel --help``):
``pack`` wraps policy JSON in a ``.zelvoc`` container, ``inspect`` shows a
container's header and the engine's status for it, ``replay`` evaluates a
JSON-lines file of events and summarises the verdicts.

The package, from the bottom up: ``container`` (the ``.zelvoc`` header)
and ``loading`` (files, engines, ``ToolError``); ``policy_json`` (builders
of policies in their JSON form); ``explain`` (explanations of one
decision); ``replay`` (traces replayed in event time, here or on Dask);
``policy_tests`` (``*.test.jsonl`` cases and coverage); ``guarding`` (the
``Guard`` every integration shares) with ``mcp_proxy`` and ``adapters``
on top; ``commands`` (the ``korvanthel`` command) over all of them.
``_native`` is the compiled part (compiler, replayer, explainer).

This package only calls the engine's public interface; it never changes it.
"""

import pkgutil

# The compiled part of the package (``korvanthel_tools._native``) exists only
# in an installed copy. When this package is imported from a source checkout
# (``python -m pytest`` from the repository's root), look for submodules in
# the installed copy too, after the checkout's own.
__path__ = pkgutil.extend_path(__path__, __name__)

from korvanthel_tools.container import (  # noqa: E402
    FORMAT_VERSION,
    HEADER_SIZE,
    MAGIC,
    ContainerHeader,
    encode_container,
    read_header,
)

__all__ = [
    "FORMAT_VERSION",
    "HEADER_SIZE",
    "MAGIC",
    "ContainerHeader",
    "encode_container",
    "read_header",
]
