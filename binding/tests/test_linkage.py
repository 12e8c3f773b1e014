"""What the module's shared object exports and imports.

Its dynamic symbol table defines one symbol, the initialisation function:
nothing a program or another library loaded into the process could bind
to by accident. Its C++ runtime is private to it: a library loaded with
global symbols may export its own operator new and delete (an allocator
of its own), and the module must not resolve its allocations to them.
"""
import os
import struct

import pytest

import _korvanthel_core

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

SHT_DYNSYM = 11
SHN_UNDEF = 0
STB_LOCAL = 0
STV_HIDDEN, STV_INTERNAL = 2, 1


def dynamic_symbols(path):
    """(name, defined, exported) for every entry of the ELF file's dynamic
    symbol table (64-bit little-endian, as the module is built here)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, "expected a 64-bit little-endian ELF file"
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    dynsym = [s for s in sections if s[1] == SHT_DYNSYM]
    assert len(dynsym) == 1
    _, _, _, _, offset, size, link, _, _, entsize = dynsym[0]
    strtab_offset = sections[link][4]
    out = []
    for i in range(1, size // entsize):  # entry 0 is the null symbol
        name_at, info, other, shndx, _, _ = struct.unpack_from("<IBBHQQ", data, offset + i * entsize)
        end = data.index(b"\0", strtab_offset + name_at)
        name = data[strtab_offset + name_at:end].decode()
        defined = shndx != SHN_UNDEF
        exported = defined and (info >> 4) != STB_LOCAL and (other & 3) not in (STV_HIDDEN, STV_INTERNAL)
        out.append((name, defined, exported))
    return out


def test_only_the_init_function_is_exported():
    exported = [name for name, _, exported in dynamic_symbols(_korvanthel_core.__file__) if exported]
    assert exported == ["PyInit__korvanthel_core"]


@pytest.mark.skipif(SANITIZED, reason="sanitizer builds link the C++ runtime shared, so that the sanitizer's "
                                      "operator new and delete see every allocation")
@pytest.mark.parametrize("symbol", ["_Znwm", "_ZdlPv", "_ZdlPvm", "__cxa_throw", "__gxx_personality_v0"])
def test_cxx_runtime_symbols_are_not_imported(symbol):
    undefined = {name for name, defined, _ in dynamic_symbols(_korvanthel_core.__file__) if not defined}
    assert symbol not in undefined
