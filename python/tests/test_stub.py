"""The type stub installed beside the module names exactly what the module
offers, with the same parameters."""
import ast
import inspect
import os
import re
import unittest

import qel_m4

STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "qel_m4.pyi")
# Names every pybind11 or enum class carries that a stub does not restate.
INHERITED = {"__init__", "__enter__", "__exit__"}


def stub_tree():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read())


def stub_members(node):
    names = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            params = [a.arg for a in item.args.args + item.args.kwonlyargs if a.arg != "self"]
            names.setdefault(item.name, params)
        elif isinstance(item, ast.AnnAssign):
            names[item.target.id] = None
        elif isinstance(item, ast.Assign):
            for target in item.targets:
                names[target.id] = None
    return names


def runtime_params(function):
    """Parameter names from the signature line pybind11 writes first in a
    function's docstring: name(self: ..., a: float, *, b: bool = False) -> ..."""
    doc = function.__doc__ or ""
    match = re.match(r"\w+\((.*?)\)\s*->", doc)
    if not match:
        return None
    params = []
    for part in re.split(r",\s*(?![^\[]*\])", match.group(1)):
        name = part.split(":")[0].strip()
        if name and name not in ("self", "*"):
            params.append(name)
    return params


class Stub(unittest.TestCase):
    def test_the_stub_lists_every_public_name_of_the_module(self):
        tree = stub_tree()
        module_names = set(stub_members(tree)) | {
            n.name for n in tree.body if isinstance(n, ast.ClassDef)}
        public = {n for n in dir(qel_m4) if not n.startswith("_")} | {"__version__"}
        self.assertEqual(public - module_names - {"Numbers"}, set(), "missing from the stub")
        self.assertEqual(module_names - public - {"Numbers"}, set(), "in the stub, not in the module")

    def test_classes_and_functions_match_their_parameters(self):
        tree = stub_tree()
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                self.assertEqual(runtime_params(getattr(qel_m4, node.name)),
                                 stub_members(tree)[node.name], node.name)
            if not isinstance(node, ast.ClassDef):
                continue
            cls = getattr(qel_m4, node.name)
            members = stub_members(node)
            # The IntEnums, the named tuple and the exceptions: their members
            # are the base class's.
            if issubclass(cls, (int, tuple, BaseException)):
                for name in members:
                    self.assertTrue(hasattr(cls, name), f"{node.name}.{name}")
                continue
            public = {n for n in dir(cls) if not n.startswith("_")}
            self.assertEqual(public - set(members), set(), f"{node.name}: missing from the stub")
            for name, params in members.items():
                self.assertTrue(hasattr(cls, name), f"{node.name}.{name}")
                if params is None or name in INHERITED:
                    continue
                self.assertEqual(runtime_params(getattr(cls, name)), params, f"{node.name}.{name}")

    def test_every_docstring_says_something(self):
        for name in dir(qel_m4):
            if name.startswith("_"):
                continue
            thing = getattr(qel_m4, name)
            if inspect.isclass(thing) and issubclass(thing, BaseException):
                self.assertTrue((thing.__doc__ or "").strip(), name)
            elif inspect.isclass(thing) and not issubclass(thing, (int, tuple)):
                for member in dir(thing):
                    if member.startswith("_") and member != "__init__":
                        continue
                    doc = getattr(thing, member).__doc__ or ""
                    lines = [l for l in doc.splitlines()[1:] if l.strip()]
                    if inspect.isroutine(getattr(thing, member)):
                        self.assertTrue(lines, f"{name}.{member} has no description")
            elif callable(thing) and not inspect.isclass(thing):
                self.assertGreater(len((thing.__doc__ or "").splitlines()), 1, name)


if __name__ == "__main__":
    unittest.main()
