"""The module's C++ runtime is private to it.

A library loaded into the same process with global symbols may export its
own operator new and delete (an allocator of its own); the module must not
resolve its allocations to them, or its speed and memory behaviour would
depend on what else the host happens to import.
"""
import os
import shutil
import subprocess

import pytest

import _korvanthel_core

# Sanitizer builds keep the shared C++ runtime on purpose: the sanitizer's
# own operator new and delete must see every allocation.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="sanitizer builds link the C++ runtime shared")


def dynamic_symbols(undefined: bool) -> set[str]:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    flag = "--undefined-only" if undefined else "--defined-only"
    out = subprocess.run([nm, "-D", flag, _korvanthel_core.__file__], check=True, capture_output=True, text=True)
    return {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}


@pytest.mark.parametrize("symbol", ["_Znwm", "_ZdlPv", "_ZdlPvm", "__cxa_throw", "__gxx_personality_v0"])
def test_cxx_runtime_symbols_are_not_imported(symbol: str) -> None:
    assert symbol not in dynamic_symbols(undefined=True)


def test_only_the_init_function_is_exported_by_name() -> None:
    exported = {s for s in dynamic_symbols(undefined=False) if not s.startswith(("_ZT", "_ZZ", "_ZN"))}
    assert exported == {"PyInit__korvanthel_core"}
