"""Inputs for the benchmarks, and the plain-Python baselines they are measured against."""

import random
import tkinter

# Every kind of list element that makes quoting work: plain words, blanks, braces (balanced
# and not), brackets, dollars, semicolons, backslashes, newlines, quotes, non-ASCII, empty.
_PATTERNS = [
    "word{n}",
    "two words {n}",
    "{{braced {n}}}",
    "[cmd {n}]",
    "$var{n}",
    "a;b{n}",
    "{{unbalanced{n}",
    "unbalanced{n}}}",
    "back\\slash{n}",
    "trailing{n}\\",
    "new\nline{n}",
    "tab\there{n}",
    '"quoted {n}"',
    "héllo wörld {n}",
    "日本語{n}",
    "",
    "#hash{n}",
    "x{n}",
]


def mixed_strings(count, seed=7):
    """`count` list elements drawn from every quoting case, in a fixed pseudo-random order."""
    rng = random.Random(seed)
    return [rng.choice(_PATTERNS).format(n=i) for i in range(count)]


def keyed_list_fields(groups, fields_per_group):
    """Two-level keyed list as nested Python lists: [[group, [[field, value], ...]], ...]."""
    values = ["v{n}", "two words {n}", "{n}", "x{{y}}{n}", "last {n} {n}"]
    return [
        [
            "group%d" % g,
            [["field%d" % f, values[f % len(values)].format(n=f)] for f in range(fields_per_group)],
        ]
        for g in range(groups)
    ]


def keyed_list_text(groups, fields_per_group):
    """The TclX text of `keyed_list_fields`, rendered by Tcl itself."""
    tk = tkinter.Tcl().tk
    fields = keyed_list_fields(groups, fields_per_group)
    tk.call("set", "kl", tuple((g, tuple(tuple(f) for f in fs)) for g, fs in fields))
    return tk.eval("set kl")


def plain_keyed_list_parser(tk):
    """A keyed-list reader in a few lines of plain Python on the host's list splitter: a value
    is a nested level exactly when it splits into two-element fields."""
    splitlist = tk.splitlist
    tcl_error = tkinter.TclError

    def level(text):
        out = {}
        for field in splitlist(text):
            key, value = splitlist(field)
            out[key] = nested(value)
        return out

    def nested(value):
        try:
            fields = [splitlist(field) for field in splitlist(value)]
        except tcl_error:
            return value
        if any(len(field) != 2 for field in fields):
            return value
        return {key: nested(inner) for key, inner in fields}

    return level
