"""Timing helpers: medians of repeated runs, ours and the baseline interleaved in one process."""

import gc
import statistics
import time


# The clock of every timing: CPU time of this process by default, so that other work on a busy
# machine does not land in either side's samples; `use_wall_clock()` switches to elapsed time.
CLOCK = {"now": time.process_time, "name": "CPU time"}


def use_wall_clock():
    CLOCK.update(now=time.perf_counter, name="wall time")


class Unavailable(Exception):
    """A workload cannot run yet: what it measures is not built."""


def per_call(fn, number):
    """Seconds per call of `fn` over `number` calls, with the cycle collector paused (as
    `timeit` does) so that neither side pays for garbage the other left behind."""
    counter = CLOCK["now"]
    collecting = gc.isenabled()
    gc.disable()
    try:
        start = counter()
        for _ in range(number):
            fn()
        return (counter() - start) / number
    finally:
        if collecting:
            gc.enable()


def calibrate(fn, budget):
    """How many calls of `fn` fill about `budget` seconds (at least one)."""
    number = 1
    while True:
        elapsed = per_call(fn, number) * number
        if elapsed >= budget / 10 or number >= 1 << 24:
            break
        number *= 10
    return max(1, int(number * budget / max(elapsed, 1e-9)))


def compare(ours, baseline, settings):
    """Median seconds per call of `ours` and of `baseline`, sampled alternately so that both
    see the same machine load."""
    ours(), baseline()  # warm caches and lazy imports before anything counts
    n_ours = calibrate(ours, settings.sample)
    n_base = calibrate(baseline, settings.sample)
    ours_times, base_times = [], []
    for _ in range(settings.repeat):
        ours_times.append(per_call(ours, n_ours))
        base_times.append(per_call(baseline, n_base))
    return statistics.median(ours_times), statistics.median(base_times)


def median_time(fn, settings):
    """Median seconds per call of `fn` alone."""
    fn()
    number = calibrate(fn, settings.sample)
    return statistics.median(per_call(fn, number) for _ in range(settings.repeat))


def format_seconds(seconds):
    if seconds is None:
        return "-"
    # the largest unit in which the value, rounded to three digits, is at least 1
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        shown = float("%.3g" % (seconds / scale))
        if shown >= 1 or unit == "ns":
            return "%.3g %s" % (shown, unit)


def format_bytes(count):
    return "%.0f B" % count
