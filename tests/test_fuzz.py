"""Random input against independent judges: Tcl's own list commands for list splitting, and a
plain-Python model of the history rules for long random sequences of history operations."""

import collections
import re
import tkinter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    initialize,
    invariant,
    rule,
)

from tessel.tcl.history import History
from tessel.tcl.interpreter import Interpreter

ORACLE = tkinter.Tcl()

# Text rich in what Tcl's list parser cares about: blanks of every kind, braces, quotes,
# backslash sequences (also cut short at the end), and characters beyond ASCII and the BMP.
LIST_PIECES = st.sampled_from(
    [" ", "\t", "\n", "\r", "\v", "\f", "{", "}", '"', "\\", "[", "]", "$", ";", "a", "bc",
     "\x00", "é", "😀", "\\u00e9", "\\x41", "\\U1F600", "\\0", "\\\n", "\\{", "\\}", "{}", '""',
     "\\n", "\\t", "\u3000", "\xa0"]
)
# A backslash right before NUL is left out: Tcl itself drops the backslash there (as we do),
# but the host's round trip of NUL makes Tcl see other bytes.
LIST_TEXT = st.lists(LIST_PIECES, max_size=24).map("".join).filter(lambda t: "\\\x00" not in t)


def tcl_elements(text):
    """The elements of `text` as Tcl reads them, or None when Tcl refuses it as a list."""
    try:
        count = int(ORACLE.call("llength", text))
    except tkinter.TclError:
        return None
    return tuple(str(ORACLE.call("lindex", text, i)) for i in range(count))


@settings(max_examples=300, deadline=None)
@given(LIST_TEXT)
def test_cast_list_splits_like_tcl(text):
    expected = tcl_elements(text)
    if expected is None:
        with pytest.raises(ValueError) as info:
            Interpreter.cast_list(text)
        assert isinstance(info.value.__cause__, tkinter.TclError)
    else:
        assert Interpreter.cast_list(text) == expected


# ---- history against a model ---------------------------------------------------------------

MARKERS = st.sampled_from(["m1", "m2", ("tuple", 1), 7])
WORDS = st.lists(st.sampled_from(["puts", "a b", "", "x\ty", "{z}", "hello world"]), max_size=4)
ITEMS = st.one_of(st.sampled_from(["set x 1", "puts hi", "", "a b c"]), WORDS, WORDS.map(tuple))


def entry_text(item):
    if isinstance(item, str):
        return item
    return " ".join("{%s}" % w if " " in w else w for w in item)


class HistoryModel(RuleBasedStateMachine):
    """The real History and a model of its rules, driven by the same random operations."""

    @initialize(bound=st.sampled_from([None, 1, 3, 9999]))
    def start(self, bound):
        self.bound = bound
        self.history = History(max_history=bound)
        self.main = collections.deque(maxlen=bound)
        self.queues = {}
        self.active = []
        self.enabled = True

    @rule(item=ITEMS)
    def append(self, item):
        self.history.append(item)
        if self.enabled:
            text = entry_text(item)
            self.main.append(text)
            for key in self.active:
                self.queues[key].append(text)
            newest = self.history.__history__[-1]  # one entry object filed everywhere
            assert all(self.history.__markers__[key][-1] is newest for key in self.active)

    @rule(marker=MARKERS)
    def start_marker(self, marker):
        self.history.start_marker(marker)
        self.queues.setdefault(marker, collections.deque(maxlen=self.bound))
        self.active.append(marker)

    @rule(marker=MARKERS)
    def end_marker(self, marker):
        if marker in self.active:
            self.history.end_marker(marker)
            self.active.remove(marker)
        else:
            with pytest.raises(ValueError):
                self.history.end_marker(marker)

    @rule(on=st.booleans())
    def switch(self, on):
        (self.history.enable if on else self.history.disable)()
        self.enabled = on

    @rule(marker=st.one_of(st.none(), MARKERS), clear_all=st.booleans())
    def clear(self, marker, clear_all):
        if clear_all:
            self.history.clear(marker=marker, clear_all=True)
            for queue in self.queues.values():
                queue.clear()
            self.main.clear()
        elif marker is None:
            self.history.clear()
            self.main.clear()
        elif marker in self.queues:
            self.history.clear(marker)
            self.queues[marker].clear()
        else:
            with pytest.raises(KeyError) as info:
                self.history.clear(marker)
            assert info.value.args == (marker,)

    @rule(
        marker=st.one_of(st.none(), MARKERS),
        count=st.integers(0, 5),
        regex=st.sampled_from([None, "", "a", "^set", "hello|hi", "\\{"]),
    )
    def filter(self, marker, count, regex):
        if marker is not None and marker not in self.queues:
            with pytest.raises(Exception, match=re.escape("No such marker: %s" % (marker,))):
                self.history.filter(marker=marker, count=count, regex=regex)
            return
        source = self.main if marker is None else self.queues[marker]
        expected = list(source)[-count:]
        if regex:
            expected = [text for text in expected if re.search(regex, text)]
        got = self.history.filter(marker=marker, count=count, regex=regex)
        assert [entry.api for entry in got] == expected

    @invariant()
    def same_state(self):
        assert [e.api for e in self.history.__history__] == list(self.main)
        assert self.history.__activeMarkers__ == self.active
        assert self.history.enabled is self.enabled
        assert set(self.history.__markers__) == set(self.queues)
        for key, queue in self.queues.items():
            assert [e.api for e in self.history.__markers__[key]] == list(queue)


TestHistoryModel = HistoryModel.TestCase
TestHistoryModel.settings = settings(
    max_examples=100,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
