"""ombrix._ombrix: import, namespace and the module's one-per-process life."""

import importlib
import inspect
import re
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import ombrix
from ombrix import _ombrix

FITTING = ["ombrix", "ombrix_bc", "ombrix_lec", "ombrix_blec", "ombrix_bleic", "ombrix_blic", "ombrix_leic",
           "ombrix_lic"]


def test_namespace_holds_exactly_the_specified_entries_in_order(isolated):
    # In a fresh interpreter: other tests rebind and restore entries.
    result = isolated("import ombrix._ombrix as m; print(*vars(m))")
    assert result.returncode == 0, result.stderr
    names = result.stdout.split()
    own = names[names.index("__builtins__"):]
    assert own == ["__builtins__", "_LMFunc", "np", "warnings", "_LM_STOP_REASONS", "_LM_STOP_REASONS_WARNED",
                   *FITTING, "__pyx_unpickle__LMFunc", "__test__"]
    assert set(names) - set(own) <= {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                                     "__path__"}
    assert _ombrix.__builtins__ is __import__("builtins")
    assert _ombrix.np is np and _ombrix.warnings is warnings
    assert _ombrix.__test__ == {}
    assert _ombrix.__name__ == "ombrix._ombrix" and _ombrix.__package__ == "ombrix"
    assert _ombrix.__file__ == _ombrix.__spec__.origin
    assert _ombrix.__doc__ is None


def test_stop_reason_tables():
    assert _ombrix._LM_STOP_REASONS == {
        1: "Stopped by small gradient J^T e",
        2: "Stop by small Dp",
        3: "Stop by `maxit`",
        4: "Singular matrix.  Restart from current `p` with increased mu",
        5: "No further error reduction is possible. Restart with increased mu",
        6: "Stopped by small ||e||_2",
    }
    assert list(_ombrix._LM_STOP_REASONS) == [1, 2, 3, 4, 5, 6]
    assert type(_ombrix._LM_STOP_REASONS_WARNED) is tuple and _ombrix._LM_STOP_REASONS_WARNED == (3, 4, 5)


@pytest.mark.parametrize("name", FITTING + ["__pyx_unpickle__LMFunc"])
def test_module_functions(name):
    function = getattr(_ombrix, name)
    assert function.__name__ == name and function.__module__ == "ombrix._ombrix"
    assert (function.__doc__ is None) == (name == "__pyx_unpickle__LMFunc")
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly \d+ positional arguments \(0 given\)$"):
        function()


# Each fitting function's parameters in order: the data, its constraints, the tuning.
CONSTRAINT_PARAMETERS = {"ombrix": [], "ombrix_bc": ["bc"], "ombrix_lec": ["lec"], "ombrix_blec": ["bc", "lec"],
                         "ombrix_bleic": ["bc", "lec", "lic"], "ombrix_blic": ["bc", "lic"],
                         "ombrix_leic": ["lec", "lic"], "ombrix_lic": ["lic"]}


def parameter_names(name):
    return ["func", "p", "x", *CONSTRAINT_PARAMETERS[name], "args", "jacf", "mu", "eps1", "eps2", "eps3", "maxit",
            "cdiff"]


@pytest.mark.parametrize("name", FITTING)
def test_fitting_functions_have_an_inspectable_signature(name):
    signature = inspect.signature(getattr(_ombrix, name))
    assert list(signature.parameters) == parameter_names(name)
    assert all(parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               and parameter.default is inspect.Parameter.empty for parameter in signature.parameters.values())


@pytest.mark.parametrize("name", FITTING)
def test_fitting_function_docstrings_document_every_parameter_and_the_result(name):
    doc = getattr(_ombrix, name).__doc__
    assert not doc.startswith(name + "(")  # the signature line went to __text_signature__
    sections = {section: doc.index(f"\n{section}\n{'-' * len(section)}\n")
                for section in ("Parameters", "Returns", "Warns")}
    assert sections["Parameters"] < sections["Returns"] < sections["Warns"]
    documented = [entry.strip() for line in doc[sections["Parameters"]:sections["Returns"]].splitlines()
                  if " : " in line and not line.startswith(" ") for entry in line.split(" : ")[0].split(",")]
    assert documented == parameter_names(name)
    returned = [line.split(" : ")[0] for line in doc[sections["Returns"]:sections["Warns"]].splitlines()
                if " : " in line and not line.startswith(" ")]
    assert returned == ["p", "pcov", "info"]
    # only the constraints the function takes are described
    for constraint in ("bc", "lec", "lic"):
        assert (f"\n{constraint} : " in doc) == (constraint in CONSTRAINT_PARAMETERS[name])


def test_type_stub_agrees_with_the_signatures():
    import ast
    import os

    with open(os.path.join(os.path.dirname(_ombrix.__file__), "_ombrix.pyi")) as f:
        stubs = {node.name: node for node in ast.parse(f.read()).body if isinstance(node, ast.FunctionDef)}
    for name in FITTING:
        assert [argument.arg for argument in stubs[name].args.args] == parameter_names(name), name


@pytest.mark.parametrize("name", FITTING)
def test_package_reexports_the_fitting_functions(name):
    assert getattr(ombrix, name) is getattr(_ombrix, name)
    assert name in ombrix.__all__


def test_lmfunc_class():
    cls = _ombrix._LMFunc
    assert cls.__module__ == "ombrix._ombrix" and cls.__name__ == "_LMFunc" and cls.__bases__ == (object,)
    lines = ["Parameters", "----------",
             "func : callable",
             "    Function or method taking, at least, one length of m vector",
             "    and returning a length of n vector.",
             "args : tuple",
             "    Extra arguments passed to `func` (and `jacf`).",
             "jacf : callable, optional",
             "    Function or method computing the Jacobian of `func`.  It",
             "    takes, at least, one length of m vector and returns the (nxm)",
             "    Jacobian matrix or a campatible C-contiguous vector.  If it is",
             "    None, the Jacobian will be approximated.",
             "",
             "Attributes", "----------",
             "func : callable",
             "args : tuple",
             "jacf : callable or None"]
    assert cls.__doc__ == "\n" + "".join("    " + line + "\n" if line else "\n" for line in lines) + "    "
    obj = cls(len, (), None)
    assert not hasattr(obj, "__dict__")
    for field in ("func", "args", "jacf"):
        assert not hasattr(obj, field)


def test_reimport_returns_the_same_module_without_running_exec_again(monkeypatch):
    reasons = _ombrix._LM_STOP_REASONS
    monkeypatch.setattr(_ombrix, "_LM_STOP_REASONS_WARNED", ("rebound",))
    monkeypatch.delitem(sys.modules, "ombrix._ombrix")
    again = importlib.import_module("ombrix._ombrix")
    assert again is _ombrix
    assert again._LM_STOP_REASONS is reasons
    assert again._LM_STOP_REASONS_WARNED == ("rebound",)


def test_failed_import_starts_over_on_the_next_attempt(isolated):
    # NumPy unavailable: the C-API import fails, the module is forgotten, and
    # a later import with NumPy back in place succeeds.
    result = isolated(textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None
        try:
            import ombrix._ombrix
        except ImportError as error:
            print(type(error).__name__, error)
            print("context", type(error.__context__).__name__)
        del sys.modules["numpy"]
        import ombrix._ombrix as m
        print(sorted(m._LM_STOP_REASONS), m.np.__name__)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError numpy._core.multiarray failed to import",
        "context ModuleNotFoundError",
        "[1, 2, 3, 4, 5, 6] numpy",
    ]


def test_second_interpreter_is_refused(isolated):
    pytest.importorskip("_xxsubinterpreters")  # CPython 3.12's name for it
    result = isolated(textwrap.dedent("""
        import _xxsubinterpreters as interpreters
        import ombrix._ombrix
        other = interpreters.create(isolated=False)
        try:
            interpreters.run_string(other, "import ombrix._ombrix")
        except interpreters.RunFailedError as error:
            print(error)
    """))
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." \
        in result.stdout


def test_exported_symbols_are_the_c_api_and_the_init_function():
    import capi

    dynamic = subprocess.run(["nm", "-D", "--defined-only", _ombrix.__file__], capture_output=True, text=True,
                             check=True).stdout
    exported = {line.split()[-1] for line in dynamic.splitlines() if re.match(r"^\w+ [TDBRW] ", line)}
    assert exported == set(capi.declarations()) | {"PyInit__ombrix"}
