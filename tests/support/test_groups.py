"""Prints the test groups of a unittest script, one per line: the classes
that it defines with test_ methods of their own, in the order written. The
build runs each group as a test of its own, so that they run side by side.

Run as: test_groups.py SCRIPT
"""
import ast
import sys


def groups(path):
    with open(path) as f:
        tree = ast.parse(f.read(), path)
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and any(
                isinstance(item, ast.FunctionDef) and item.name.startswith("test_") for item in node.body):
            yield node.name


if __name__ == "__main__":
    print("\n".join(groups(sys.argv[1])))
