"""The harness's import graph, read from the source (nothing is imported): every import
statement counts, those inside functions and ``if TYPE_CHECKING`` blocks too, since a lazy
import only moves a circle from start-up to the first call. Prints the graph of packages, the
cycles among modules and among packages, and exits 1 when there is any.

    python scripts/import_graph.py [--modules] [ROOT]

ROOT is the package's folder (default: harness/tralix_harness). Importing ``a.b.c`` runs the
``__init__`` of ``a`` and ``a.b`` first, so it counts as importing those too, but for the
packages that hold the importing module (they are running already).
"""

from __future__ import annotations

import argparse
import ast
import sys
from collections import defaultdict
from pathlib import Path

DEFAULT_ROOT = Path(__file__).resolve().parents[1] / "harness" / "tralix_harness"


def module_names(root: Path) -> dict[str, Path]:
    """Every module under ``root`` by its dotted name relative to it ('' for the root's
    ``__init__``, 'networks' for a package's)."""
    names = {}
    for path in sorted(root.rglob("*.py")):
        parts = list(path.relative_to(root).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        names[".".join(parts)] = path
    return names


def _is_package(name: str, paths: dict[str, Path]) -> bool:
    return paths[name].name == "__init__.py"


def _ancestors(name: str) -> list[str]:
    """'' and every enclosing package of a dotted name, outermost first."""
    parts = name.split(".") if name else []
    return ["".join(parts[:0])] + [".".join(parts[:n]) for n in range(1, len(parts))]


def imports(name: str, path: Path, paths: dict[str, Path], top: str) -> set[str]:
    """The harness modules that ``name`` imports, wherever the statement stands."""
    package = name if _is_package(name, paths) else name.rpartition(".")[0]
    found: set[str] = set()

    def reach(target: str) -> None:
        """Counts ``target`` and the packages on the way to it."""
        parts = target.split(".") if target else []
        for n in range(len(parts) + 1):
            step = ".".join(parts[:n])
            if step in paths:
                found.add(step)

    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name == top or alias.name.startswith(top + "."):
                    reach(alias.name.removeprefix(top).lstrip("."))
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".") if package else []
                base = base[:len(base) - (node.level - 1)] if node.level > 1 else base
                target = ".".join([*base, *(node.module or "").split(".")]).strip(".")
            elif node.module and (node.module == top or node.module.startswith(top + ".")):
                target = node.module.removeprefix(top).lstrip(".")
            else:
                continue
            reach(target)
            for alias in node.names:  # 'from . import arguments' names a module
                child = f"{target}.{alias.name}" if target else alias.name
                if child in paths:
                    found.add(child)
    running = set(_ancestors(name)) | ({name} if _is_package(name, paths) else set())
    return found - running - {name}


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected components of more than one node, or with a loop (Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for target in sorted(graph.get(node, ())):
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in on_stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1 or node in graph.get(node, ()):
                found.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def package_of(name: str, packages: set[str]) -> str:
    """The top-level package a module belongs to ('' for the root's own modules)."""
    first = name.split(".")[0]
    return first if first in packages else ""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root", nargs="?", type=Path, default=DEFAULT_ROOT)
    parser.add_argument("--modules", action="store_true", help="print every module's imports")
    args = parser.parse_args()
    root: Path = args.root.resolve()
    top = root.name
    paths = module_names(root)
    tops = {n for n in paths if n and "." not in n and _is_package(n, paths)}
    graph = {name: imports(name, path, paths, top) for name, path in paths.items()}

    packages: dict[str, set[str]] = defaultdict(set)
    for name, targets in graph.items():
        source = package_of(name, tops)
        packages.setdefault(source, set())
        for target in targets:
            if package_of(target, tops) != source:
                packages[source].add(package_of(target, tops))

    def shown(name: str) -> str:
        return name or top

    print(f"packages of {top} (each with the packages it imports):")
    for source in sorted(packages, key=lambda p: (len(_closure(packages, p)), p)):
        print(f"  {shown(source):<10} -> {', '.join(shown(t) for t in sorted(packages[source]))}"
              if packages[source] else f"  {shown(source):<10} -> (nothing of the harness)")
    if args.modules:
        print("modules:")
        for name in sorted(graph):
            print(f"  {shown(name)} -> {', '.join(shown(t) for t in sorted(graph[name]))}")
    module_cycles, package_cycles = cycles(graph), cycles(dict(packages))
    for what, found in (("modules", module_cycles), ("packages", package_cycles)):
        if found:
            print(f"cycles among {what}:")
            for component in found:
                print("  " + " <-> ".join(shown(n) for n in component))
        else:
            print(f"cycles among {what}: none ({len(graph) if what == 'modules' else len(packages)}"
                  f" {what}, imports inside functions counted)")
    return 1 if module_cycles or package_cycles else 0


def _closure(graph: dict[str, set[str]], start: str) -> set[str]:
    """What ``start`` reaches, for listing the packages from the bottom up."""
    seen: set[str] = set()
    todo = [start]
    while todo:
        for target in graph.get(todo.pop(), ()):
            if target not in seen:
                seen.add(target)
                todo.append(target)
    return seen


if __name__ == "__main__":
    sys.exit(main())
