"""The Python control has what the C++ control has, and its stub says so.

A method added to CQelCommCtrl fails here until it is bound and typed."""

import ast
import re

import qelcomm
from qelcomm import _qelcomm

from conftest import ROOT

HEADER = ROOT / "include" / "qelcomm" / "QelCommCtrl.h"
STUB = qelcomm.__path__[0] + "/_qelcomm.pyi"


def control_methods():
    """The public methods of CQelCommCtrl, from its header."""
    text = " ".join(line.split("//")[0] for line in HEADER.read_text().splitlines())
    start = text.index(" public:", text.index("class CQelCommCtrl {"))
    body = text[start:text.index(" private:", start)]
    names = set()
    for statement in body.split(";"):
        found = re.search(r"(\w+)\s*\(", statement)
        if found and "operator" not in statement and found.group(1) != "CQelCommCtrl":
            names.add(found.group(1))
    return names


def stub_members(cls):
    tree = ast.parse(open(STUB).read())
    body = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls).body
    names = {n.name for n in body if isinstance(n, ast.FunctionDef)}
    return names | {n.target.id for n in body if isinstance(n, ast.AnnAssign)}


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_every_public_method_of_the_control_is_bound_and_in_the_stub():
    methods = control_methods()
    assert len(methods) > 40, "the header was not read"
    stub = stub_members("CQelCommCtrl")
    cls = qelcomm.CQelCommCtrl
    for method in sorted(methods):
        # A getter and its setter are one property; a setter without one a method.
        getter = method[3:] if method.startswith("Set") and method[3:] in methods else None
        if getter and isinstance(getattr(cls, getter, None), property):
            assert cls.__dict__[getter].fset is not None, f"{getter} cannot be set"
            continue
        assert hasattr(cls, method), f"CQelCommCtrl.{method} is not bound"
        assert method in stub, f"CQelCommCtrl.{method} is not in the stub"


def test_the_stub_declares_what_the_module_has():
    assert public(stub_members("CQelCommCtrl")) == public(dir(qelcomm.CQelCommCtrl)) - {
        n for n in dir(object)}
    tree = ast.parse(open(STUB).read())
    stub_names = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert stub_names == {n for n in dir(_qelcomm) if n[0] != "_" and not n.startswith("ERR_")}
    stub_codes = {n.target.id for n in tree.body
                  if isinstance(n, ast.AnnAssign) and n.target.id.startswith("ERR_")}
    module_codes = {n for n in dir(_qelcomm) if n.startswith("ERR_")}
    assert stub_codes == module_codes
    assert {n for n in qelcomm.__all__ if n.startswith("ERR_")} == module_codes
    for name in module_codes:
        if name != "ERR_OS_INVALID_PARAMETER":
            assert qelcomm.error_name(getattr(qelcomm, name)) == name
