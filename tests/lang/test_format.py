"""The formatter keeps every comment, beside the token it was written
beside, and formatting its own output changes nothing."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvanthel_tools import _native
from lang_support import EXAMPLES

CASES = [
    (
        "own-line and trailing comments",
        '// head\npolicy p severity high // trailing\n/* before the rule */\nrule 1 {when event.a // why\n deny}\n// the end\n',
        '// head\npolicy "p" severity high // trailing\n\n/* before the rule */\nrule 1 {\n  when event.a // why\n  deny\n}\n// the end\n',
    ),
    (
        "comment inside an expression moves before its line",
        'policy "p" severity high\nrule 1 {\n  when event.a and\n    // the second half\n    event.b\n}\n',
        'policy "p" severity high\n\nrule 1 {\n  // the second half\n  when event.a and event.b\n}\n',
    ),
    (
        "comment follows its item when items are reordered",
        'policy "p" severity high\n// limit\nrate_limit a 1 per 1s\n// rule two\nrule 2 {\n}\n',
        'policy "p" severity high\n\n// rule two\nrule 2 {\n}\n\n// limit\nrate_limit a 1 per 1s\n',
    ),
    (
        "comments inside a machine",
        'policy "p" severity high\nmachine 1 m invariant i never {\n  state a // first\n  // the loop\n  transition a -> a\n}\n',
        'policy "p" severity high\n\nmachine 1 m invariant i never {\n  state a // first\n  // the loop\n  transition a -> a\n}\n',
    ),
    (
        "carriage returns and a byte-order mark are dropped",
        '\ufeffpolicy "p" severity high // trailing\r\n/* two\r\n lines */\r\nrule 1 {\r\n}\r\n',
        'policy "p" severity high // trailing\n\n/* two\n lines */\nrule 1 {\n}\n',
    ),
    (
        "a comparison under not keeps its parentheses",
        'policy "p" severity high\nrule 1 { when not (event.a > 0) and not event.b.contains("x") }\n',
        'policy "p" severity high\n\nrule 1 {\n  when not (event.a > 0) and not event.b.contains("x")\n}\n',
    ),
    (
        "block comment mid-line",
        'policy "p" severity high\nrule 1 /* one */ on a {\n}\n',
        'policy "p" severity high\n\nrule 1 on a { /* one */\n}\n',
    ),
]


@pytest.mark.parametrize("source,expected", [(s, e) for _, s, e in CASES], ids=[n for n, _, _ in CASES])
def test_comments_kept(source: str, expected: str) -> None:
    formatted = _native.format_source(source)
    assert formatted == expected
    assert _native.format_source(formatted) == formatted
    assert _native.compile_policy_json(formatted) == _native.compile_policy_json(source)


EXAMPLE = (EXAMPLES / "guard_policy.zelvo").read_text()


def breaks(text: str) -> list[int]:
    """Positions of spaces and line feeds outside strings and comments."""
    found, in_string, in_comment = [], False, False
    for i, c in enumerate(text):
        if in_comment:
            in_comment = c != "\n"
        elif in_string:
            in_string = c != '"' or text[i - 1] == "\\"
        elif c == '"':
            in_string = True
        elif text.startswith("//", i):
            in_comment = True
        elif c in " \n":
            found.append(i)
    return found


BREAKS = breaks(EXAMPLE)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(BREAKS), st.sampled_from(["// c\n", "/* c */", "\n// d\n", "/* a\n b */\n"])), max_size=5))
def test_formatting_is_idempotent_wherever_comments_are(inserts: list[tuple[int, str]]) -> None:
    source = EXAMPLE
    for at, comment in sorted(inserts, reverse=True):
        source = source[:at] + " " + comment + source[at:]
    once = _native.format_source(source)
    assert _native.format_source(once) == once
    assert once.count("// c") == source.count("// c") and once.count("/* c */") == source.count("/* c */")
    assert _native.compile_policy_json(once) == _native.compile_policy_json(EXAMPLE)


def test_large_source_keeps_every_comment() -> None:
    # 10,000 rules, two comments each: finding each comment's place must not
    # cost a pass over every item.
    source = 'policy "p" severity high\n' + "".join(
        f"// rule {i}\nrule {i} on a {{ when event.x == {i} // why {i}\n deny }}\n" for i in range(10_000)
    )
    formatted = _native.format_source(source)
    assert formatted.count("// rule ") == 10_000 and formatted.count("// why ") == 10_000
    assert "\n// rule 9999\nrule 9999 on a {\n  when event.x == 9999 // why 9999\n  deny\n}\n" in formatted
    assert _native.format_source(formatted) == formatted


def test_byte_order_mark_takes_no_column() -> None:
    with pytest.raises(_native.CompileError) as caught:
        _native.compile_policy('\ufeffpolicy "p" sverity high\n', "bom.zelvo")
    first = caught.value.diagnostics[0]
    assert (first.line, first.column) == (1, 12)


def test_a_comment_after_a_line_comment_goes_on_its_own_line() -> None:
    # Both comments trail parts of one printed line; the block cannot follow the line comment there.
    source = 'policy "p" severity low\nrule 1 {\n  when event.a == 1 // c\n and /* a\n b */ event.b == 2\n  deny\n}\n'
    once = _native.format_source(source)
    assert _native.format_source(once) == once
    assert "// c" in once and "/* a\n b */" in once
    assert _native.compile_policy_json(once) == _native.compile_policy_json(source)
