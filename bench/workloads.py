"""The workloads: each measures one operation of ours against its baseline in the same run."""

import importlib
import os
import resource
import statistics
import subprocess
import sys
import time
import tkinter
from dataclasses import dataclass

import data
from timing import CLOCK, Unavailable, calibrate, compare, median_time, per_call


@dataclass
class Row:
    name: str
    ours: float
    base: float
    kind: str  # "at_most": ours/base must not exceed `target`; "faster": base/ours at least;
    # "info": shown without a target
    target: float
    unit: str = "time"


@dataclass
class Growth:
    name: str
    times: dict  # size -> seconds


def module(name, *members):
    """A module of the package, or Unavailable when it is not built (still a placeholder)."""
    try:
        mod = importlib.import_module("tessel.tcl." + name)
    except ImportError as exc:
        raise Unavailable("n/a: tessel.tcl.%s not importable (%s)" % (name, exc)) from None
    for member in members:
        if not hasattr(mod, member):
            raise Unavailable("n/a: module not built (tessel.tcl.%s.%s)" % (name, member))
    return mod


class Context:
    """What several workloads share: one interpreter, made on first use."""

    def __init__(self, settings):
        self.settings = settings
        self._interp = None

    def interp(self, *needed):
        if self._interp is None:
            Interpreter = module("interpreter", "Interpreter").Interpreter
            self._interp = Interpreter()
        for name in needed:
            if not hasattr(self._interp, name):
                raise Unavailable("n/a: module not built (Interpreter.%s)" % name)
        return self._interp


# ---- conversion ------------------------------------------------------------------------------


def scriptify_list(ctx):
    scriptify = module("scriptify", "scriptify").scriptify
    items = data.mixed_strings(10_000)
    ours, base = compare(lambda: scriptify(items), lambda: tkinter._join(items), ctx.settings)
    rows = [Row("scriptify 10k mixed strings vs tkinter._join", ours, base, "faster", 15)]

    # Tcl's own list-to-string, looped by Tcl's `time` and clocked like ours; the samples
    # alternate with ours.
    tk = tkinter.Tcl().tk
    tk.call("set", "l", tuple(items))
    iterations = max(1, int(ctx.settings.sample / 1e-3))
    script = "time {string length [list {*}$l]} %d" % iterations
    number = calibrate(lambda: scriptify(items), ctx.settings.sample)
    tcl_times, ours_times = [], []
    for _ in range(ctx.settings.repeat):
        tcl_times.append(per_call(lambda: tk.eval(script), 1) / iterations)
        ours_times.append(per_call(lambda: scriptify(items), number))
    rows.append(Row("scriptify 10k mixed strings vs Tcl list-to-string",
                    statistics.median(ours_times), statistics.median(tcl_times), "at_most", 1.5))
    return rows


def cast_list(ctx):
    Interpreter = module("interpreter", "Interpreter").Interpreter
    if not hasattr(Interpreter, "cast_list"):
        raise Unavailable("n/a: module not built (Interpreter.cast_list)")
    tk = tkinter.Tcl().tk
    text = tk.call("concat", *[tk.call("list", s) for s in data.mixed_strings(1_000)])
    assert len(Interpreter.cast_list(text)) == len(tk.splitlist(text))
    cast = Interpreter.cast_list
    ours, base = compare(lambda: cast(text), lambda: tk.splitlist(text), ctx.settings)
    return [Row("cast_list 1k-element list vs tk.splitlist", ours, base, "at_most", 1.0)]


# ---- calls -----------------------------------------------------------------------------------


def interpreter_eval(ctx):
    interp = ctx.interp("eval", "history")
    tk = interp.tk
    interp.history.enable()
    ours, base = compare(lambda: interp.eval("set x 1"), lambda: tk.eval("set x 1"), ctx.settings)
    interp.history.clear()
    return [Row('Interpreter.eval("set x 1"), history on, vs tk.eval', ours, base, "at_most", 1.5)]


def quick_calls(ctx):
    interp = ctx.interp("dial", "history")
    tk = interp.tk
    interp.history.enable()
    ours, base = compare(lambda: interp.dial.set("x", 1), lambda: tk.call("set", "x", 1),
                         ctx.settings)
    rows = [Row('interp.dial.set("x", 1), history on, vs tk.call', ours, base, "at_most", 2.0)]
    # Where the time goes: the same call without the cast of its result (no target).
    ours, base = compare(lambda: interp.dial.set("x", 1, cast_=False),
                         lambda: tk.call("set", "x", 1), ctx.settings)
    interp.history.clear()
    rows.append(Row('  same with cast_=False (for information)', ours, base, "info", 0))

    TclCommand = module("namespace", "TclCommand").TclCommand
    command = TclCommand("::list", tcl=interp)
    assert command("a", "b", opt=1) == tk.call("::list", "a", "b", "-opt", 1)
    ours, base = compare(lambda: command("a", "b", opt=1),
                         lambda: tk.call("::list", "a", "b", "-opt", 1), ctx.settings)
    rows.append(Row("TclCommand call, 2 args + 1 option, vs tk.call", ours, base, "at_most", 2.0))
    return rows


def callbacks(ctx):
    interp = ctx.interp("create_callback", "remove_callback")
    tk = interp.tk
    calls = [0]

    def bench_callback(*args):
        calls[0] += 1

    count = 1_000 if ctx.settings.quick else 10_000
    interp.create_callback(bench_callback, "bench_cb_ours")
    tk.createcommand("bench_cb_base", bench_callback)
    loop = "for {set i 0} {$i < %d} {incr i} {%s $i}"
    try:
        ours, base = compare(lambda: tk.eval(loop % (count, "bench_cb_ours")),
                             lambda: tk.eval(loop % (count, "bench_cb_base")), ctx.settings)
    finally:
        interp.remove_callback("bench_cb_ours")
        tk.deletecommand("bench_cb_base")
    assert calls[0] > 0
    return [Row("Tcl loop of %d callback calls: create_callback vs tk.createcommand" % count,
                ours, base, "at_most", 1.2)]


# ---- keyed lists -----------------------------------------------------------------------------


def keyed_lists(ctx):
    NestMap = module("nestmap", "NestMap").NestMap
    module("interpreter", "Interpreter")
    scriptify = module("scriptify", "scriptify").scriptify
    # 1 000 fields, each a nested level of 2 short fields; both rows use this one shape
    text = data.keyed_list_text(1000, 2)
    tk = tkinter.Tcl().tk
    plain = data.plain_keyed_list_parser(tk)
    parsed = NestMap.from_tcl(text)
    assert len(parsed) == len(plain(text)) == 1000
    ours, base = compare(lambda: NestMap.from_tcl(text), lambda: plain(text), ctx.settings)
    rows = [Row("NestMap.from_tcl 1k fields of 2 subfields vs plain Python", ours, base,
                "at_most", 1.0)]

    nested = data.keyed_list_fields(1000, 2)  # the same fields as nested lists, made once
    assert scriptify(parsed) == text
    ours, base = compare(lambda: scriptify(parsed), lambda: tkinter._join(nested), ctx.settings)
    rows.append(Row("scriptify(NestMap) 1k fields of 2 subfields vs tkinter._join", ours, base,
                    "faster", 10))
    return rows


# ---- views and handles -----------------------------------------------------------------------


def views(ctx):
    interp = ctx.interp("vars")
    module("namespace", "TclVariable")
    tk = interp.tk
    view = interp.vars
    view["bench_x"] = "value"
    assert view["bench_x"] == tk.eval("set ::bench_x")
    ours, base = compare(lambda: view["bench_x"], lambda: tk.eval("set ::bench_x"), ctx.settings)
    rows = [Row("ns.vars[x] vs tk.eval of the same set script", ours, base, "at_most", 1.5)]

    def assign():
        view["bench_x"] = "value"

    ours, base = compare(assign, lambda: tk.setvar("::bench_x", "value"), ctx.settings)
    rows.append(Row("ns.vars[x] = v vs tk.setvar", ours, base, "at_most", 2.0))

    variable = view.byref("bench_x")
    ours, base = compare(lambda: variable.set("value"), lambda: tk.setvar("::bench_x", "value"),
                         ctx.settings)
    rows.append(Row("TclVariable.set vs tk.setvar", ours, base, "at_most", 2.0))
    return rows


# ---- start-up and memory (fresh processes) ---------------------------------------------------


def _run_python(code, env):
    """Time of one fresh Python process running `code`: its CPU time (user + system) under
    the CPU clock, else its elapsed time."""
    if CLOCK["name"] == "CPU time":
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([sys.executable, "-c", code], check=True, env=env,
                       stdout=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def import_time(ctx):
    module("interpreter", "Interpreter")
    env = ctx.settings.child_env
    ours_code = "import tessel.tcl"
    base_code = "import tkinter; tkinter.Tk(useTk=0).tk.eval('package require Tclx')"
    runs = 2 if ctx.settings.quick else 9
    ours, base = [], []
    for _ in range(runs):
        ours.append(_run_python(ours_code, env))
        base.append(_run_python(base_code, env))
    rows = [Row("import tessel.tcl (fresh process) vs Tk(useTk=0) + Tclx",
                statistics.median(ours), statistics.median(base), "at_most", 1.5)]
    # What a suite with a fresh interpreter per test pays (the first one searched auto_path).
    Interpreter = module("interpreter", "Interpreter").Interpreter
    Interpreter()
    ours, base = compare(Interpreter, lambda: tkinter.Tcl().eval("package require Tclx"),
                         ctx.settings)
    rows.append(Row("Interpreter() vs Tcl() + package require Tclx", ours, base, "at_most", 0.75))
    return rows


_MEMORY_PROBE = r"""
import datetime, resource, sys
from collections import deque
appends = int(sys.argv[1])


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024


def start():
    # Reset the peak resident size, so that the peak counts only what comes next.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return status("VmRSS"), lambda: status("VmHWM")
    except OSError:
        peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        return peak(), peak


if sys.argv[2] == "ours":
    from tessel.tcl.history import History
    history = History()
    before, peak = start()
    for i in range(appends):
        history.append(["set", "x", str(i)])
    stored = len(history.__history__)
else:
    class Entry:
        def __init__(self, api):
            self.timestamp = datetime.datetime.now()
            self.api = api
    history = deque(maxlen=9999)
    before, peak = start()
    for i in range(appends):
        history.append(Entry("set x %d" % i))
    stored = len(history)
print((peak() - before) / stored)
"""


def history_memory(ctx):
    module("history", "History")
    appends = 20_000 if ctx.settings.quick else 1_000_000
    results = {}
    for side in ("ours", "base"):
        out = subprocess.run([sys.executable, "-c", _MEMORY_PROBE, str(appends), side],
                             check=True, env=ctx.settings.child_env, capture_output=True,
                             text=True)
        results[side] = float(out.stdout.split()[-1])
    return [Row("History: peak bytes per stored entry, %d appends, vs deque of objects"
                % appends, results["ours"], results["base"], "at_most", 1.0, unit="bytes")]


# ---- growth ----------------------------------------------------------------------------------

GROWTH_SIZES = (10, 1_000, 100_000)
DOUBLED = 200_000  # measured too: doubling a large input must about double the time


def growth(ctx):
    scriptify = module("scriptify", "scriptify").scriptify
    results = []

    sizes = GROWTH_SIZES + (DOUBLED,)
    sized = {n: data.mixed_strings(n) for n in sizes}
    results.append(Growth("scriptify", {n: median_time(lambda v=v: scriptify(v), ctx.settings)
                                        for n, v in sized.items()}))

    def try_growth(name, build):
        try:
            results.append(Growth(name, build()))
        except Unavailable as exc:
            results.append(Growth(name, {"n/a": str(exc)}))

    def cast_list_times():
        Interpreter = module("interpreter", "Interpreter").Interpreter
        texts = {n: scriptify(v) for n, v in sized.items()}
        return {n: median_time(lambda t=t: Interpreter.cast_list(t), ctx.settings)
                for n, t in texts.items()}

    def from_tcl_times():
        NestMap = module("nestmap", "NestMap").NestMap
        module("interpreter", "Interpreter")
        texts = {n: data.keyed_list_text(max(1, n // 10), min(n, 10)) for n in sizes}
        return {n: median_time(lambda t=t: NestMap.from_tcl(t), ctx.settings)
                for n, t in texts.items()}

    def filter_times():
        History = module("history", "History").History
        times = {}
        for n in sizes:
            history = History(max_history=None)
            for i in range(n):
                history.append(["set", "x", str(i)])
            times[n] = median_time(lambda h=history: h.filter(count=0, regex="x 9+$"),
                                   ctx.settings)
        return times

    try_growth("cast_list", cast_list_times)
    try_growth("NestMap.from_tcl", from_tcl_times)
    try_growth("History.filter(regex=...)", filter_times)
    return results


WORKLOADS = [
    ("scriptify", scriptify_list),
    ("cast_list", cast_list),
    ("eval", interpreter_eval),
    ("calls", quick_calls),
    ("keyed lists", keyed_lists),
    ("views", views),
    ("callbacks", callbacks),
    ("import", import_time),
    ("history memory", history_memory),
    ("growth", growth),
]


def child_env(src_dir):
    """Environment for child processes: they import the same package as this one."""
    env = dict(os.environ)
    if src_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [src_dir, env.get("PYTHONPATH")]))
    return env


def is_linear(times):
    """Doubling a large input (100 000 to 200 000 elements) at most triples the time: a
    quadratic cost quadruples it. (From 1 000 elements up per-element costs also grow with
    cache misses, not only with the algorithm, so the doubling at the large end is the test.)"""
    large, doubled = times.get(100_000), times.get(DOUBLED)
    if not large or not doubled:
        return None
    return doubled / large <= 3.0
