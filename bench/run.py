"""Benchmark suite: every workload in one process, ours against a baseline measured alongside.

    python bench/run.py            full run (a few minutes), prints the table
    python bench/run.py --quick    smoke run for CI: every workload briefly, timings not judged

Each ratio is the median of repeated timings of ours divided by the median of the baseline's,
sampled alternately in the same run. Timings are CPU time of the process (of the child for the
fresh-process workloads) unless --wall asks for elapsed time, so that a busy machine disturbs
both sides alike. A workload whose module is not built yet shows an "n/a" row; one that fails
with an error shows it and makes the exit status 1.
"""

import argparse
import os
import platform
import sys
import time
import tkinter
import traceback
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

try:
    import tessel.tcl.scriptify  # noqa: F401  (installed package, or PYTHONPATH)

    SRC = None
except ImportError:
    SRC = os.path.join(os.path.dirname(HERE), "src")
    sys.path.insert(0, SRC)

from timing import CLOCK, Unavailable, format_bytes, format_seconds, use_wall_clock  # noqa: E402
from workloads import (  # noqa: E402
    DOUBLED,
    WORKLOADS,
    Context,
    Growth,
    child_env,
    is_linear,
)


@dataclass
class Settings:
    quick: bool
    repeat: int
    sample: float  # seconds per timing sample
    child_env: dict


def verdict(row):
    ratio = row.ours / row.base if row.base else float("inf")
    if row.kind == "info":
        return ratio, "-", None
    if row.kind == "faster":
        met = row.ours > 0 and row.base / row.ours >= row.target
        return ratio, "≥ %g× faster" % row.target, met
    return ratio, "≤ %g" % row.target, ratio <= row.target


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: brief and not judged")
    parser.add_argument("--only", metavar="NAME", help="run the workloads whose name contains NAME")
    parser.add_argument("--wall", action="store_true",
                        help="time with the wall clock (default: CPU time of the process)")
    options = parser.parse_args(argv)
    if options.wall:
        use_wall_clock()
    settings = Settings(
        quick=options.quick,
        repeat=3 if options.quick else 25,
        sample=0.002 if options.quick else 0.03,
        child_env=child_env(SRC),
    )
    ctx = Context(settings)
    print("tessel.tcl %s benchmark run: Python %s (%s), Tcl %s, %s\n" % (
        "quick" if settings.quick else "full", platform.python_version(), sys.executable,
        tkinter.Tcl().call("info", "patchlevel"), CLOCK["name"]))
    started = time.perf_counter()
    table, growth, failures = [], [], 0
    for name, workload in WORKLOADS:
        if options.only and options.only not in name:
            continue
        try:
            for result in workload(ctx):
                (growth if isinstance(result, Growth) else table).append(result)
        except Unavailable as exc:
            table.append((name, str(exc)))
        except Exception as exc:  # a broken workload is reported, and fails the run
            failures += 1
            traceback.print_exc()
            table.append((name, "error: %s: %s" % (type(exc).__name__, exc)))
    print_table(table, settings)
    print_growth(growth)
    print("\n%s run, %s, %.1f s.%s" % ("quick" if settings.quick else "full", CLOCK["name"],
                                   time.perf_counter() - started,
                                   " Timings of a quick run are not judged." if settings.quick
                                   else ""))
    return 1 if failures else 0


def print_table(table, settings):
    header = ("workload", "ours", "baseline", "ratio", "target", "result")
    lines = []
    for row in table:
        if isinstance(row, tuple):
            lines.append((row[0], "", "", "", "", row[1]))
            continue
        ratio, target, met = verdict(row)
        fmt = format_bytes if row.unit == "bytes" else format_seconds
        result = "info" if met is None else "met" if met else "missed"
        if settings.quick:
            result = "(%s)" % result
        lines.append((row.name, fmt(row.ours), fmt(row.base), "%.3f" % ratio, target, result))
    widths = [max(len(line[i]) for line in lines + [header]) for i in range(5)]
    print(" | ".join(h.ljust(w) for h, w in zip(header, widths)) + " | result")
    print("-+-".join("-" * w for w in widths) + "-+-------")
    for line in lines:
        print(" | ".join(c.ljust(w) for c, w in zip(line, widths)) + " | " + line[5])


def print_growth(growth):
    if not growth:
        return
    sizes = (10, 1_000, 100_000)
    print("\ngrowth (median time per call; shape from doubling 100 000 to 200 000 elements)")
    width = max(len(g.name) for g in growth)
    print("%s | %10s | %10s | %10s | ×2 at 100k | shape" % (
        ("operation".ljust(width),) + tuple("n=%d" % n for n in sizes)))
    for g in growth:
        if "n/a" in g.times:
            print("%s | %s" % (g.name.ljust(width), g.times["n/a"]))
            continue
        times = [g.times[n] for n in sizes]
        doubled = g.times[DOUBLED] / times[2] if times[2] else float("inf")
        print("%s | %10s | %10s | %10s | %9.2f× | %s" % (
            g.name.ljust(width), *(format_seconds(t) for t in times), doubled,
            "linear" if is_linear(g.times) else "NOT linear"))


if __name__ == "__main__":
    sys.exit(main())
