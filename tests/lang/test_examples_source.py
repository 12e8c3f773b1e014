"""The example policy in source: it compiles to exactly the example JSON,
and the checked-in container is what it compiles to."""

from __future__ import annotations

from korvanthel_tools import _native
from korvanthel_tools.guarding.source_hash import compile_recording_hash, source_hash
from lang_support import EXAMPLES, canonical

SOURCE = EXAMPLES / "guard_policy.zelvo"


def test_source_compiles_to_the_example_json() -> None:
    # As `korvanthel compile` writes it: with the source's hash recorded.
    compiled = compile_recording_hash(SOURCE.read_bytes(), str(SOURCE), as_json=True)
    assert compiled == canonical((EXAMPLES / "guard_policy.json").read_bytes())


def test_checked_in_container_is_what_the_source_compiles_to() -> None:
    container = (EXAMPLES / "guard_policy.zelvoc").read_bytes()
    assert container == compile_recording_hash(SOURCE.read_bytes(), str(SOURCE)), (
        "rebuild it: korvanthel compile examples/guard_policy.zelvo -o examples/guard_policy.zelvoc"
    )


def test_source_hash_is_the_same_for_the_same_source_and_changes_with_one_character() -> None:
    source = SOURCE.read_bytes()
    hashes = {_native.canonical_policy_json(compile_recording_hash(text, "p")) for text in (source, source)}
    assert len(hashes) == 1
    first = source_hash(source)
    assert first != 0 and f'"source_hash":{first}' in hashes.pop()
    assert source_hash(source.replace(b"rm -rf", b"rm -rF", 1)) not in (0, first)
    # A source that states its hash keeps it (what decompile prints compiles back to the same policy).
    stated = compile_recording_hash(source.replace(b'compiler_version "example"', b'source_hash 5', 1), "p",
                                    as_json=True)
    assert '"source_hash":5' in str(stated)


def test_source_hash_is_64_bit_fnv_1a() -> None:
    # The published FNV-1a test vectors: the hash is the same on every machine.
    assert [source_hash(t) for t in (b"a", "foobar")] == [0xAF63DC4C8601EC8C, 0x85944171F73967E8]
    assert source_hash("") == 0xCBF29CE484222325
