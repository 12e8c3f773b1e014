"""Every public item of the tools package says what it is for: each
module, and each class, function and method whose name does not start
with an underscore (methods of public classes only; properties count,
their setters do not). Checked on the source files, without importing
them, so the optional extras need not be installed."""

from __future__ import annotations

import ast
from collections.abc import Iterator
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[2] / "korvanthel_tools"

Definition = ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef


def public_items(path: Path) -> Iterator[tuple[str, ast.Module | Definition]]:
    """(where, node) of every public item of the module at ``path``."""
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    if path.name != "__main__.py":
        yield f"{path}", tree
    for node in tree.body:
        if isinstance(node, Definition) and not node.name.startswith("_"):
            yield f"{path}:{node.lineno} {node.name}", node
            if isinstance(node, ast.ClassDef):
                for member in node.body:
                    if (isinstance(member, ast.FunctionDef | ast.AsyncFunctionDef)
                            and not member.name.startswith("_")
                            and not any(isinstance(d, ast.Attribute) and d.attr == "setter"
                                        for d in member.decorator_list)):
                        yield f"{path}:{member.lineno} {node.name}.{member.name}", member


def test_every_public_item_has_a_docstring() -> None:
    paths = [p for p in sorted(PACKAGE.rglob("*.py")) if not any(part.startswith("_") and part not in
             ("__init__.py", "__main__.py") for part in p.relative_to(PACKAGE).parts)]
    assert len(paths) > 40  # the walk saw the package
    missing = [where for path in paths for where, node in public_items(path) if not ast.get_docstring(node)]
    assert missing == []
