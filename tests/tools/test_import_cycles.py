"""The tools package imports one way: no module leads back to itself
through any chain of imports.

Checked on the source files, without importing them (so the optional
extras need not be installed): every import statement counts wherever it
stands, at the top, inside a function or under ``if TYPE_CHECKING``, since
a circle closed by a lazy or type-only import is still a circle for a
reader. ``import a.b`` and ``from a import b`` count as importing the
module ``a.b`` when there is one, else the package ``a`` (its
``__init__``); relative imports are resolved first. A module's own
package is not counted as imported by it, so an ``__init__`` may
re-export its submodules.
"""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "korvanthel_tools"


def modules_of(root: Path) -> dict[str, Path]:
    """Every module under ``root`` (a package folder) by dotted name."""
    modules = {}
    for path in sorted(root.rglob("*.py")):
        parts = path.relative_to(root.parent).with_suffix("").parts
        modules[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return modules


def imports_of(name: str, path: Path, modules: dict[str, Path]) -> set[str]:
    """The modules of ``modules`` that the module ``name`` imports."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()

    def known(dotted: str) -> str | None:
        while dotted and dotted not in modules:
            dotted = dotted.rpartition(".")[0]
        return dotted or None

    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            found.update(filter(None, (known(alias.name) for alias in node.names)))
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                base = f"{anchor}.{base}" if base else anchor
            found.update(filter(None, (known(f"{base}.{alias.name}") for alias in node.names)))
    found.discard(name)
    return found


def import_cycles(root: Path) -> list[list[str]]:
    """One circle of imports (first module repeated at the end) for each
    group of modules that import each other, found with Tarjan's strongly
    connected components; empty when the imports go one way."""
    modules = modules_of(root)
    graph = {name: sorted(imports_of(name, path, modules)) for name, path in modules.items()}
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    groups: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        for target in graph[node]:
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            group: list[str] = []
            while not group or group[-1] != node:
                group.append(stack.pop())
            if len(group) > 1:
                groups.append(group)

    for name in graph:
        if name not in index:
            visit(name)
    return [_circle(group[-1], set(group), graph) for group in groups]


def _circle(start: str, group: set[str], graph: dict[str, list[str]]) -> list[str]:
    """The shortest path from ``start`` back to itself inside ``group``."""
    paths = {start: [start]}
    queue = [start]
    for node in queue:
        for target in graph[node]:
            if target == start:
                return paths[node] + [start]
            if target in group and target not in paths:
                paths[target] = paths[node] + [target]
                queue.append(target)
    raise AssertionError(f"{start} is not on a circle")


def test_the_tools_package_has_no_import_circle() -> None:
    assert len(modules_of(PACKAGE)) > 40  # the walk saw the package
    assert [" -> ".join(cycle) for cycle in import_cycles(PACKAGE)] == []


@pytest.mark.parametrize(
    "closing",
    [
        "from pkg.a import thing",
        "from ..a import thing",
        "from .. import a",
        "import pkg.a",
        "def later() -> None:\n    from pkg.a import thing",
        "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from pkg import a",
    ],
    ids=["absolute", "relative", "relative-module", "plain", "lazy", "type-only"],
)
def test_every_kind_of_import_closes_a_circle(tmp_path: Path, closing: str) -> None:
    root = tmp_path / "pkg"
    (root / "sub").mkdir(parents=True)
    (root / "__init__.py").write_text("from pkg.sub import b\n")
    (root / "sub" / "__init__.py").write_text("")
    (root / "a.py").write_text("from pkg.sub.b import other\nthing = 1\n")
    (root / "sub" / "b.py").write_text(f"other = 2\n{closing}\n")
    assert [sorted(set(cycle)) for cycle in import_cycles(root)] == [["pkg.a", "pkg.sub.b"]]
    (root / "sub" / "b.py").write_text("other = 2\n")
    assert import_cycles(root) == []
