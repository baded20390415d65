"""The module documents itself: help() shows a docstring for everything it
offers, and the type stub declares exactly what the module has."""
import ast
import re
import os
import pydoc

import lintrace


def public(names):
    return {n for n in names if not n.startswith("_") or n in ("__len__", "__getitem__", "__iter__")}


def test_help_documents_every_function_and_property():
    text = pydoc.render_doc(lintrace, renderer=pydoc.plaintext)
    for name in lintrace.__all__:
        member = getattr(lintrace, name)
        assert member.__doc__ and len(member.__doc__) > 60, name
        assert name in text
    for name in public(dir(lintrace.Edges)):
        assert getattr(lintrace.Edges, name).__doc__, "Edges." + name


def test_the_stub_declares_what_the_module_has():
    with open(os.path.join(os.path.dirname(lintrace.__file__), "__init__.pyi")) as stub:
        tree = ast.parse(stub.read())
    functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert functions | set(classes) == set(lintrace.__all__)
    members = {node.name for node in classes["Edges"].body if isinstance(node, ast.FunctionDef)}
    assert members == public(dir(lintrace.Edges))
    # Every argument of every function, by name and in order, as help() shows them.
    for node in (n for n in tree.body if isinstance(n, ast.FunctionDef)):
        shown = getattr(lintrace, node.name).__doc__.splitlines()[0]
        assert [a.arg for a in node.args.args + node.args.kwonlyargs] == re.findall(r"(?:\(|, )(\w+): ", shown), node.name
