"""The call record: bounds, markers, clearing, filtering, switching, texts and debug lines."""

import datetime
import gc
import importlib
import logging
import re
import time
import weakref
from collections import deque

import pytest

# the package's own `history` attribute is the global interpreter's record, not the module
history_module = importlib.import_module("tessel.tcl.history")
Entry, History = history_module.Entry, history_module.History

STAMP = datetime.datetime(2026, 12, 7, 3, 15, 20, 123456)


def apis(entries):
    return [e.api for e in entries]


@pytest.fixture
def five():
    h = History()
    for api in ["set a 1", "puts b", "set c 3", "puts d", "set e 5"]:
        h.append(api)
    return h


# --- bounds -----------------------------------------------------------------------------------


def test_default_bound_drops_the_oldest_entry():
    h = History()
    for i in range(10000):
        h.append(str(i))
    assert History.__MAX_HISTORY__ == 9999
    assert len(h.__history__) == 9999
    assert h.__history__[0].api == "1"
    assert h.__history__[-1].api == "9999"


@pytest.mark.parametrize("bound", [0, 1, 2, 5])
def test_every_queue_takes_the_bound_of_the_main_record(bound):
    h = History(max_history=bound)
    h.start_marker("m")
    for i in range(7):
        h.append(str(i))
    expected = [str(i) for i in range(7)][7 - bound :] if bound else []
    assert apis(h.__history__) == expected
    assert apis(h.__markers__["m"]) == expected
    assert h.__markers__["m"].maxlen == bound


def test_unbounded_history():
    h = History(None)
    h.start_marker("m")
    for i in range(12000):
        h.append("x")
    assert h.__history__.maxlen is None and h.__markers__["m"].maxlen is None
    assert len(h.__history__) == len(h.__markers__["m"]) == 12000


@pytest.mark.parametrize("bound, error", [(-1, ValueError), ("3", TypeError)])
def test_invalid_bound_is_refused(bound, error):
    with pytest.raises(error):
        History(max_history=bound)


def test_fresh_history_state():
    h = History()
    assert type(h.__history__) is deque and h.__history__.maxlen == 9999
    assert h.__markers__ == {} and h.__activeMarkers__ == [] and h.enabled is True
    assert History.__mro__ == (History, object) and Entry.__mro__ == (Entry, object)


# --- entries ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "api, text",
    [
        ("puts {hello world}", "puts {hello world}"),  # a string is kept as it is
        (["puts", "hello world"], "puts {hello world}"),
        (("set", "x", "1"), "set x 1"),
        (["a", "", "b"], "a  b"),  # an empty word stays empty: no braces
        (["a\tb", "c\nd", "$x;[y]"], "a\tb c\nd $x;[y]"),  # only a space brings braces
        ([" "], "{ }"),
        (["{a b}"], "{{a b}}"),  # already braced words are braced again
        ([], ""),
        (iter(["x y", "z"]), "{x y} z"),  # any iterable of words
        (("é x", "ü", "a"), "{é x} ü a"),  # words of different widths
        (["a", "\u20ac b", "\U0001f600 c", "d"], "a {\u20ac b} {\U0001f600 c} d"),
        ([type("Word", (str,), {})("a b"), "c"], "{a b} c"),  # str subclasses are words too
        (["w x"] * 70 + ["y"], " ".join(["{w x}"] * 70 + ["y"])),  # long word lists
    ],
)
def test_entry_text(api, text):
    assert Entry(api).api == text


@pytest.mark.parametrize("api", [["a", 1], ["a", None], [b"a b"], 5])
def test_entry_refuses_words_that_are_not_text(api):
    with pytest.raises(TypeError):
        Entry(api)


def test_entry_timestamp_is_the_local_time_of_creation():
    before = datetime.datetime.now()
    entry = Entry(api="x")
    after = datetime.datetime.now()
    time.sleep(0.02)  # read later: still the moment it was made
    stamp = entry.timestamp
    assert type(stamp) is datetime.datetime and stamp.tzinfo is None
    assert before <= stamp <= after
    assert entry.timestamp is stamp


def test_entry_timestamp_can_be_replaced_and_deleted():
    entry = Entry("x")
    entry.timestamp = STAMP
    assert entry.timestamp is STAMP
    del entry.timestamp
    with pytest.raises(AttributeError):
        entry.timestamp
    with pytest.raises(AttributeError):
        del entry.timestamp
    fresh = Entry("y")
    del fresh.timestamp  # before it was ever read
    with pytest.raises(AttributeError):
        str(fresh)


def test_entry_texts():
    entry = Entry(["puts", "hello world"])
    entry.timestamp = STAMP
    assert str(entry) == "2026-12-07T03:15:20.123456: puts {hello world}"
    assert repr(entry) == f"<Entry '2026-12-07T03:15:20.123456: puts {{hello world}}' at {hex(id(entry))}>"
    entry.timestamp = datetime.datetime(2026, 1, 2, 3, 4, 5)
    assert str(entry).startswith("2026-01-02T03:04:05.000000: ")


@pytest.mark.parametrize("bound, tail", [(9999, ", maxlen=9999)"), (None, ")")])
def test_history_texts_show_the_main_queue(bound, tail):
    h = History(bound)
    assert str(h) == repr(h) == "deque([]" + tail
    h.append("a")
    h.append("b")
    for text in (str(h), repr(h)):
        assert text == repr(h.__history__)
        assert re.fullmatch(r"deque\(\[<Entry '[-0-9T:.]+: a' at 0x[0-9a-f]+>, "
                            r"<Entry '[-0-9T:.]+: b' at 0x[0-9a-f]+>\]" + re.escape(tail), text)


# --- recording, switching and markers ---------------------------------------------------------


def test_disable_stops_storing_everywhere_and_enable_resumes():
    h = History()
    h.start_marker("m")
    h.disable()
    assert h.enabled is False
    h.append("lost")
    assert not h.__history__ and not h.__markers__["m"]
    assert h.__activeMarkers__ == ["m"]
    h.enable()
    h.append("kept")
    assert apis(h.__history__) == apis(h.__markers__["m"]) == ["kept"]


def test_enabled_is_read_for_its_truth():
    h = History()
    h.enabled = 0
    h.append("x")
    h.enabled = "yes"
    h.append("y")
    assert apis(h.__history__) == ["y"]


def test_one_entry_object_is_filed_under_every_active_marker():
    h = History()
    h.start_marker("a")
    h.start_marker("b")
    h.start_marker("a")
    h.append("x")
    main = h.__history__[0]
    assert [id(e) for e in h.__markers__["a"]] == [id(main), id(main)]
    assert h.__markers__["b"][0] is main
    h.end_marker("a")
    assert h.__activeMarkers__ == ["b", "a"]
    h.append("y")
    assert apis(h.__markers__["a"]) == ["x", "x", "y"]


def test_ended_marker_keeps_its_entries_and_restart_adds_to_them():
    h = History()
    h.start_marker("phase")
    h.append("one")
    h.end_marker("phase")
    h.append("between")
    assert apis(h.filter(marker="phase")) == ["one"]
    h.start_marker("phase")
    h.append("two")
    assert apis(h.filter(marker="phase")) == ["one", "two"]
    assert apis(h.filter()) == ["one", "between", "two"]


def test_end_marker_of_inactive_marker_is_a_value_error_naming_it():
    h = History()
    with pytest.raises(ValueError, match=r"^marker 'never' is not active$"):
        h.end_marker("never")
    h.start_marker("m")
    h.end_marker("m")
    with pytest.raises(ValueError):
        h.end_marker("m")


def test_marker_keys_may_be_any_hashable():
    h = History()
    h.start_marker(("phase", 1))
    h.append("x")
    assert apis(h.filter(marker=("phase", 1))) == ["x"]
    with pytest.raises(TypeError):
        h.start_marker(["unhashable"])


# --- clearing ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, main_left, a_left, b_left",
    [
        ({}, 0, 2, 1),
        ({"marker": "a"}, 2, 0, 1),
        ({"clear_all": True}, 0, 0, 0),
        ({"marker": "a", "clear_all": True}, 0, 0, 0),  # clear_all wins
    ],
)
def test_clear(kwargs, main_left, a_left, b_left):
    h = History()
    h.start_marker("a")
    h.append("1")
    h.start_marker("b")
    h.append("2")
    h.clear(**kwargs)
    assert (len(h.__history__), len(h.__markers__["a"]), len(h.__markers__["b"])) == (
        main_left,
        a_left,
        b_left,
    )
    assert h.__activeMarkers__ == ["a", "b"]  # clearing never ends markers


def test_clear_of_unknown_marker_raises_key_error_with_the_key():
    with pytest.raises(KeyError) as info:
        History().clear("never")
    assert info.value.args == ("never",)


# --- filtering --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, ["set a 1", "puts b", "set c 3", "puts d", "set e 5"]),
        ({"count": 0}, ["set a 1", "puts b", "set c 3", "puts d", "set e 5"]),
        ({"count": 2}, ["puts d", "set e 5"]),
        ({"count": 99}, ["set a 1", "puts b", "set c 3", "puts d", "set e 5"]),
        ({"regex": "^set"}, ["set a 1", "set c 3", "set e 5"]),
        ({"regex": r"\d"}, ["set a 1", "set c 3", "set e 5"]),
        ({"regex": "c 3"}, ["set c 3"]),  # a search, not a match at the start
        ({"count": 2, "regex": "^set"}, ["set e 5"]),  # the count is taken first
        ({"count": 2, "regex": "a"}, []),
        ({"regex": re.compile("PUTS", re.I)}, ["puts b", "puts d"]),
        ({"regex": ""}, ["set a 1", "puts b", "set c 3", "puts d", "set e 5"]),  # false: no filter
    ],
)
def test_filter(five, kwargs, expected):
    assert apis(five.filter(**kwargs)) == expected


def test_filter_returns_a_new_list_of_the_same_entries(five):
    found = five.filter(count=1)
    assert type(found) is list and found[0] is five.__history__[-1]
    found.clear()
    assert len(five.__history__) == 5


@pytest.mark.parametrize("marker, text", [("m", "No such marker: m"), (("a", 1), "No such marker: ('a', 1)")])
def test_filter_of_unknown_marker(marker, text):
    with pytest.raises(Exception) as info:
        History().filter(marker=marker)
    assert type(info.value) is Exception
    assert str(info.value) == text


def test_filter_of_cleared_marker_is_empty(five):
    five.start_marker("m")
    five.append("x")
    five.clear(clear_all=True)
    assert five.filter(marker="m") == [] and five.filter() == []


def test_filter_with_invalid_regex(five):
    with pytest.raises(re.error):
        five.filter(regex="(")


# --- debug lines ------------------------------------------------------------------------------


def test_debug_lines(caplog):
    caplog.set_level(logging.DEBUG, logger="tessel.tcl")
    h = History()
    h.append("set x 1")
    h.disable()
    h.append(["puts", "a b"])
    h.enable()
    h.append(("a",))
    records = [r for r in caplog.records if r.name == "tessel.tcl"]
    assert [r.getMessage() for r in records] == [
        "TclHistory is enabled.",
        "% set x 1",
        "TclHistory is disabled.",
        "% ['puts', 'a b']",  # logged even while disabled
        "TclHistory is enabled.",
        "% ('a',)",
    ]
    assert {r.levelno for r in records} == {logging.DEBUG}
    assert records[1].msg == "%% %s"


def test_debug_lines_follow_level_changes(caplog):
    h = History()
    caplog.set_level(logging.INFO, logger="tessel.tcl")
    h.append("quiet")  # the logger remembers that debug is off...
    caplog.set_level(logging.DEBUG, logger="tessel.tcl")
    h.append("loud")  # ...until its level changes
    logging.disable(logging.DEBUG)
    try:
        h.append("disabled")
    finally:
        logging.disable(logging.NOTSET)
    assert [r.getMessage() for r in caplog.records if r.name == "tessel.tcl"] == ["% loud"]


def test_replaced_logger_is_used(monkeypatch, caplog):
    h = History()
    h.append("quiet")  # debug is off for the module's own logger, and that is remembered
    other = logging.getLogger("tessel.tcl.test_history_other")
    monkeypatch.setattr(history_module, "log", other)
    caplog.set_level(logging.DEBUG, logger=other.name)
    History().append("x")
    assert [r.getMessage() for r in caplog.records if r.name == other.name] == [
        "TclHistory is enabled.",
        "% x",
    ]
    assert history_module.log is other


# --- robustness -------------------------------------------------------------------------------


def test_missing_state_raises_attribute_error():
    bare = History.__new__(History)
    calls = [lambda: bare.append("x"), bare.filter, lambda: repr(bare), bare.clear,
             lambda: bare.start_marker("m"), lambda: bare.end_marker("m")]
    for call in calls:
        with pytest.raises(AttributeError):
            call()
    h = History()
    del h.__history__
    with pytest.raises(AttributeError, match="__history__"):
        h.append("x")
    with pytest.raises(AttributeError):
        str(Entry.__new__(Entry))


def test_subclass_and_references():
    class Mine(History):
        def enable(self):
            self.enabled_calls = getattr(self, "enabled_calls", 0) + 1
            super().enable()

    h = Mine(3)
    assert h.enabled_calls == 1 and h.enabled  # construction enables through the method
    h.note = "kept"
    assert vars(h) == {"enabled_calls": 1, "note": "kept"}
    ref = weakref.ref(h)
    h.start_marker(h)  # a cycle through a marker key
    h.append("x")
    h.append("y")
    first, second = list(h.__history__)[-2:]
    first.api = [h]  # and cycles through the entries' own slots
    second.timestamp = {"h": h}
    del h, first, second
    gc.collect()
    assert ref() is None


def test_module_names():
    assert history_module.log is logging.getLogger("tessel.tcl")
    assert Entry.__module__ == History.__module__ == "tessel.tcl.history"


def test_arguments_by_keyword():
    h = History(max_history=5)
    h.start_marker(marker="m")
    h.append(item=["a", "b c"])
    h.end_marker(marker="m")
    assert apis(h.filter(marker="m", count=1, regex="b")) == ["a {b c}"]
    h.clear(marker="m", clear_all=False)


@pytest.mark.parametrize(
    "call",
    [
        lambda h: h.append(),
        lambda h: h.append("a", "b"),
        lambda h: h.append(items="a"),
        lambda h: h.start_marker(),
        lambda h: h.end_marker("m", marker="m"),
        lambda h: h.filter(None, 20, None, 4),
        lambda h: h.clear(bogus=1),
        lambda h: h.enable(1),
    ],
)
def test_wrong_calls_are_type_errors(call):
    with pytest.raises(TypeError):
        call(History())


def test_state_replaced_by_user_code_during_a_call():
    h = History()

    class Fickle:
        def __bool__(self):
            del h.enabled  # drops the last reference to this very object
            return True

    h.enabled = Fickle()
    h.append("x")
    assert apis(h.__history__) == ["x"]

    class Queue(list):
        def append(self, entry):
            h.__history__ = deque()  # drops this queue while it is being filled
            super().append(entry)

    h.enabled = True
    h.__history__ = Queue()
    h.append("y")
    assert apis(h.__history__) == []
