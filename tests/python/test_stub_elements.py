"""What stubtest leaves unchecked in the type stub python/korvane.pyi.

stubtest compares names, signatures and attribute types of the stub with
the built module, but not the order inside an element class's
__match_args__ (which decides what a positional class pattern binds) nor
the base classes.
"""

import ast
from pathlib import Path

import korvane

STUB = Path(__file__).resolve().parents[2] / "python" / "korvane.pyi"
CODES = ("R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T")


def stub_classes() -> dict[str, ast.ClassDef]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def match_args(node: ast.ClassDef) -> tuple[str, ...]:
    for statement in node.body:
        if (
            isinstance(statement, ast.Assign)
            and isinstance(statement.targets[0], ast.Name)
            and statement.targets[0].id == "__match_args__"
        ):
            return tuple(ast.literal_eval(statement.value))
    raise AssertionError(f"{node.name} has no __match_args__ in the stub")


def test_element_classes_keep_order_and_base() -> None:
    classes = stub_classes()
    for code in CODES:
        runtime = getattr(korvane, code)
        node = classes[code]
        assert match_args(node) == runtime.__match_args__, code
        assert [ast.unparse(base) for base in node.bases] == ["Element"], code
        assert runtime.__bases__ == (korvane.Element,), code
        constructor = next(
            s for s in node.body if isinstance(s, ast.FunctionDef) and s.name == "__new__"
        )
        assert tuple(a.arg for a in constructor.args.args[1:]) == runtime.__match_args__, code
