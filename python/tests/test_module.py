"""The package as a whole: documentation, type stubs and the diagnostics bridge."""

import ast
import inspect
import os
import pydoc

import numpy as np
import pytest

import velmora


def public_names():
    return [name for name in dir(velmora) if not name.startswith("_")]


def test_every_public_name_is_documented_and_has_a_stub():
    stub_path = os.path.join(os.path.dirname(velmora.__file__), "__init__.pyi")
    with open(stub_path, encoding="utf-8") as stub_file:
        stub = ast.parse(stub_file.read())
    stubbed = {node.name for node in stub.body
               if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    stubbed |= {target.id for node in stub.body if isinstance(node, ast.Assign)
                for target in node.targets if isinstance(target, ast.Name)}
    stubbed |= {node.target.id for node in stub.body
                if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}
    undocumented = []
    for name in public_names():
        item = getattr(velmora, name)
        if inspect.ismodule(item):
            continue
        assert name in stubbed, f"{name} has no type stub"
        if callable(item) and not (item.__doc__ or "").strip():
            undocumented.append(name)
        if inspect.isclass(item):
            for member_name, member in vars(item).items():
                if member_name.startswith("_") and member_name not in ("__init__", "__call__"):
                    continue
                if not (getattr(member, "__doc__", None) or "").strip():
                    undocumented.append(f"{name}.{member_name}")
    assert not undocumented, f"no docstring: {undocumented}"
    text = pydoc.render_doc(velmora, renderer=pydoc.plaintext)
    assert "DoubleTable" in text and "velmora.Error" in text


def test_failures_carry_the_library_message_and_progress_goes_to_logging(velmora_log):
    with pytest.raises(velmora.Error) as failure:
        velmora.DoubleTable(2, 1, 1)
    assert str(failure.value) == "md_tetra_new: illegal dimension"
    # A report inside a failing call becomes the exception, not a log record as well.
    assert not [r for r in velmora_log.records if r.levelname == "ERROR"]
    assert velmora.Error.__module__ == "velmora"
    assert velmora.DoubleTable(2, 1, 2)(np.zeros(2)).shape == (1,)
