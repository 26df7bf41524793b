"""The type stubs: every module ships one, the signature checker (tools/stub_signatures.py)
finds what it must, and mypy accepts ordinary use of the package while rejecting plain misuse.
That the stubs agree with the compiled modules is `make check-stubs`'s to judge."""

import importlib.util
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parent.parent / "tools"

MODULES = [
    "tessel.datastructures",
    "tessel.tcl",
    "tessel.tcl.scriptify",
    "tessel.tcl.history",
    "tessel.tcl.nestmap",
    "tessel.tcl.interpreter",
    "tessel.tcl.namespace",
    "tessel.tcl.dial",
    "tessel.tcl.internal",
    "tessel.tcl.array",
]


def load_signature_checker():
    module_spec = importlib.util.spec_from_file_location("stub_signatures", TOOLS / "stub_signatures.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def checker():
    if not (TOOLS / "stub_signatures.py").exists():
        pytest.skip("tools/ is not part of this checkout")
    return load_signature_checker()


def test_every_module_ships_a_stub_and_the_typed_marker():
    import tessel
    import tessel.tcl

    for package in (tessel, tessel.tcl):
        assert (Path(package.__path__[0]) / "py.typed").exists()
    for name in MODULES:
        found = importlib.util.find_spec(name)
        origin = Path(found.origin)
        stem = "__init__" if origin.name.startswith("__init__.") else name.rsplit(".", 1)[-1]
        assert (origin.parent / f"{stem}.pyi").exists(), name


def test_signature_check_reports_a_wrong_default_and_a_renamed_argument(checker):
    import ast

    real = Path(importlib.util.find_spec("tessel.tcl.history").origin).parent / "history.pyi"
    text = real.read_text()
    text = text.replace("max_history: int | None = 9999", "max_history: int | None = 999")
    text = text.replace("def start_marker(self, marker:", "def start_marker(self, name:")

    # (the package's own attribute "history" is the global interpreter's History)
    history = importlib.import_module("tessel.tcl.history")

    problems, counts = [], {"checked": 0, "unchecked": 0, "aliases": 0}
    checker.check_body(
        "tessel.tcl.history", ast.parse(text).body, history, False, problems, counts, {}
    )
    assert len(problems) == 2, problems
    assert any("default of max_history is 999 in the stub, 9999 at runtime" in p for p in problems)
    assert any("start_marker" in p and "[positional name]" in p for p in problems)


def test_signature_check_reports_an_alias_that_is_another_object(checker):
    import ast

    namespace = importlib.import_module("tessel.tcl.namespace")

    text = "class TclVariable:\n    def get_str(self, array_index: object = None) -> str: ...\n" \
        "    get = get_str\n"
    problems, counts = [], {"checked": 0, "unchecked": 0, "aliases": 0}
    checker.check_body(
        "tessel.tcl.namespace", ast.parse(text).body, namespace, False, problems, counts, {}
    )
    assert problems == [
        "tessel.tcl.namespace.TclVariable.get: the stub makes it an alias of get_str, "
        "but at runtime it is another object"
    ]


# --- mypy on user code -------------------------------------------------------------------

USER_SCRIPT = '''
from typing import TYPE_CHECKING, Any

import tessel.tcl
from tessel.tcl import cast_list, scriptify, tclobj
from tessel.tcl.history import Entry, History
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclCommand,
    TempTclNamespace,
    TempTclVariable,
)
from tessel.tcl.nestmap import NestMap

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:
    def assert_type(value, _type):
        return value


def main() -> None:
    interp = Interpreter()
    assert_type(interp.eval("set x 5"), str)
    assert_type(interp.eval("set x 5", typecast=True), Any)
    assert_type(interp.get_int("x"), int)
    assert_type(interp.get_list("x"), tuple[str, ...])
    assert_type(interp.cast_list("1 2", item_cast=int), tuple[int, ...])
    assert_type(tessel.tcl.cast_list("1 2", item_cast=float), tuple[float, ...])
    assert_type(cast_list("a b"), tuple[str, ...])
    assert_type(interp.get_keyed_list("x") if False else NestMap(), NestMap)
    interp.vars["y"] = [1, 2]
    assert_type(interp.vars["y"], str)
    assert_type(interp.history.filter(count=2), list[Entry])
    assert_type(scriptify([1, "a b"]), str)
    assert_type(scriptify.from_sequence(["a", 1]), str)
    words: tuple[Any, ...] = tclobj.from_sequence([1, [2]])

    with TempTclNamespace(tcl=interp) as ns:
        assert_type(ns, TempTclNamespace)
        ns.vars["v"] = 1
        ns.export(False, "p*")
        assert_type(TclNamespace.join(ns, "a", "b"), str)
        handle = ns.cmds["set"]
        assert_type(handle, TclCommand)
        names: list[str] = list(ns.procs)

    array = TclArrayVariable("arr", tcl=interp, cast=int)
    array.update(a=1)
    value: Any = array["a"]
    element = array.array_item_byref("a")
    assert_type(element, TclVariable)
    assert_type(interp.global_ns.vars.byref("x", var_type=TclArrayVariable), TclArrayVariable)

    with TempTclVariable(tcl=interp) as tmp:
        tmp.set(1)
        assert_type(tmp.exists(), bool)

    @TempTclCommand
    def callback(*args: str) -> str:
        return " ".join(args)

    assert_type(callback.__name__, str)
    command = interp.create_callback(callback, "cb")
    interp.remove_callback(command)

    interp.eval("namespace eval ::greet {proc hello {who args} {return [list $who $args]}}")
    result: Any = interp.dial.greet.hello("you", cast_=False, loud=1)
    history = History(max_history=None)
    history.start_marker("phase")
    history.append(["puts", "hello world"])
    keyed = NestMap({"name.first": "a"})
    assert_type(keyed.all_items(), list[tuple[str, Any]])
    assert_type(NestMap.from_tcl("{a 1}"), NestMap)


main()
'''

MISUSE = '''
import tessel.tcl
from tessel.tcl.history import History
from tessel.tcl.interpreter import Interpreter
from tessel.tcl.namespace import TclCommand, TclNamespace
from tessel.tcl.nestmap import NestMap
from tessel.tcl.scriptify import scriptify

interp = Interpreter()
number: int = interp.eval("set x 1")  # error: assignment
TclNamespace("::a", tcl=interp).export("a*")  # error: arg-type
Interpreter(1)  # error: call-arg
History(max_history="many")  # error: arg-type
tessel.tcl.cast_list("1 2", item_cast=int)[0] + "x"  # error: operator
TclCommand("x").no_such_operation()  # error: attr-defined
NestMap().all_keys()[0] + 1  # error: operator
scriptify.from_sequence(5)  # error: arg-type
interp.create_callback("not callable")  # error: arg-type
interp.dial.ns.proc(1, cast_="yes")  # error: arg-type
'''


def expected_errors(source):
    return sorted(
        (number, match.group(1))
        for number, line in enumerate(source.splitlines(), 1)
        if (match := re.search(r"# error: ([a-z-]+)", line))
    )


def package_env():
    """The environment for a subprocess that must import the package under test: the one this
    interpreter imports (from PYTHONPATH or site-packages), wherever the subprocess runs."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(__import__("tessel").__path__[0]).parent)]
        + [str(Path(p).resolve()) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    return env


def run_mypy(tmp_path, *files):
    pytest.importorskip("mypy")
    env = package_env()
    return subprocess.run(
        [
            sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
            "--show-error-codes", "--no-pretty", "--cache-dir", str(tmp_path / "cache"),
            "--python-executable", sys.executable, *files,
        ],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )


def test_mypy_accepts_use_and_rejects_misuse(tmp_path):
    (tmp_path / "user_script.py").write_text(textwrap.dedent(USER_SCRIPT))
    (tmp_path / "misuse.py").write_text(textwrap.dedent(MISUSE))
    done = run_mypy(tmp_path, "user_script.py", "misuse.py")
    found = {"user_script.py": [], "misuse.py": []}
    for line in done.stdout.splitlines():
        match = re.match(r"(\w+\.py):(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            found[match.group(1)].append((int(match.group(2)), match.group(3)))
    assert found["user_script.py"] == [], done.stdout + done.stderr
    assert sorted(found["misuse.py"]) == expected_errors(textwrap.dedent(MISUSE)), done.stdout


def test_user_script_runs(tmp_path):
    # the sample that mypy accepts is real code: it runs against the package as well
    namespace = {"__name__": "user_script"}
    exec(compile(textwrap.dedent(USER_SCRIPT), "user_script.py", "exec"), namespace)
