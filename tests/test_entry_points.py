"""Entry points read from the metadata folders on sys.path: the same entry points, in the same
order, as importlib.metadata finds, and importlib.metadata itself wherever the layout is one
the light reader does not know."""

import importlib.metadata
import subprocess
import sys
import sysconfig
import zipfile

import pytest

from tessel.tcl import interpreter
from tessel.tcl.host import entry_points as reader

GROUP = "tessel.tcl"
HOOK = "[tessel.tcl]\ntcl_init = os.path:join\n"
# The standard library's folders on sys.path, kept in every sys.path a test sets up:
# importlib.metadata imports parts of it lazily (on 3.13 reading a distribution's name from its
# METADATA brings in email.message, which imports quopri).
STDLIB = [p for p in sys.path
          if p.startswith(sysconfig.get_path("stdlib")) and "-packages" not in p]


def listed(read, group):
    """(name, value, group) of what `read` finds, or the type of the error it raises."""
    try:
        return [(p.name, p.value, p.group) for p in read(group=group)]
    except reader._Unsure:
        raise
    except Exception as exc:
        return type(exc)


def build(tmp_path, monkeypatch, layout):
    """{sys.path entry: {metadata folder: entry_points.txt, None for none, b"" for a file}};
    an entry without folders is left missing. The standard library's folders follow."""
    monkeypatch.setattr(sys, "path", [*(str(tmp_path / entry) for entry in layout), *STDLIB])
    for entry, folders in layout.items():
        for name, text in folders.items():
            folder = tmp_path / entry / name
            folder.parent.mkdir(exist_ok=True)
            if text == b"":
                folder.write_text("Name: %s\n" % name.partition("-")[0])
                continue
            folder.mkdir()
            if isinstance(text, str):
                text = text.encode()
            if text is not None:
                (folder / "entry_points.txt").write_bytes(text)


# (layout, whether the light reader reads it itself)
LAYOUTS = {
    "groups, comments, blanks, extras": ({"a": {
        "one-1.0.dist-info": "# top\nstray = before:sections\n\n[console_scripts]\nx = m:f\n"
        "[tessel.tcl]\n  tcl_init=os.path : join [extra, other]  \n# off = x:y\ninit = os\n"
        "[ tessel.tcl ]\nblank = os:sep\n[[tessel.tcl]]\ntcl = collections:OrderedDict.fromkeys\n",
        "two-1.0.egg-info": "[tessel.tcl]\ncl_i = os:sep\n",
        "three-1.0.dist-info": None,
    }}, True),
    "first of a name along sys.path wins": ({
        "a": {"Foo_Bar-2.0.dist-info": HOOK},
        "b": {"foo.bar-1.0.dist-info": "[tessel.tcl]\no = os:getcwd\n", "baz-1.dist-info": HOOK},
    }, True),
    "an egg-info file hides a later folder": ({
        "a": {"foo-1.0.egg-info": b""}, "b": {"foo-2.0.dist-info": HOOK}}, True),
    "two versions side by side": ({
        "a": {"foo-1.0.dist-info": HOOK, "foo-2.0.dist-info": "[tessel.tcl]\nb = os:sep\n"}}, True),
    "a missing entry": ({"gone": {}, "a": {"foo-1.0.dist-info": HOOK}}, True),
    "unparsable value": ({"a": {"foo-1.0.dist-info": "[tessel.tcl]\nx = not valid!\n"}}, False),
    "line without =": ({"a": {"foo-1.0.dist-info": HOOK + "[other]\nno equals\n"}}, False),
    "not UTF-8": ({"a": {"foo-1.0.dist-info": b"[tessel.tcl]\nx = os # \xff\n"}}, False),
    "suffix in capitals": ({"a": {"foo-1.0.DIST-INFO": HOOK}}, False),
    "no name before the version": ({"a": {"-1.0.dist-info": HOOK}}, False),
    "an .egg folder": ({"a.egg": {"EGG-INFO": HOOK}}, False),
}


@pytest.mark.parametrize("layout, sure", LAYOUTS.values(), ids=LAYOUTS)
def test_reader_agrees_with_importlib(tmp_path, monkeypatch, layout, sure):
    build(tmp_path, monkeypatch, layout)
    for group in (GROUP, "console_scripts", "absent"):
        theirs = listed(importlib.metadata.entry_points, group)
        assert listed(reader.entry_points, group) == theirs
        if sure:
            assert listed(reader._read_group, group) == theirs
    if not sure:
        with pytest.raises(reader._Unsure):
            reader._read_group(GROUP)


def test_zip_archives_and_other_finders_go_to_importlib(tmp_path, monkeypatch):
    archive = tmp_path / "dists.zip"
    with zipfile.ZipFile(archive, "w") as zipped:
        zipped.writestr("zipped-1.0.dist-info/METADATA", "Name: zipped\n")
        zipped.writestr("zipped-1.0.dist-info/entry_points.txt", HOOK)
    monkeypatch.setattr(sys, "path", [str(archive), *STDLIB])
    assert listed(reader.entry_points, GROUP) == [("tcl_init", "os.path:join", GROUP)]

    build(tmp_path, monkeypatch, {"plain": {"plain-1.0.dist-info": HOOK},
                                  "elsewhere": {"custom-1.dist-info": "[tessel.tcl]\nc = os\n"}})
    sys.path.remove(str(tmp_path / "elsewhere"))

    class Finder:
        def find_spec(self, *args):
            return None

        def find_distributions(self, context=None):
            folder = tmp_path / "elsewhere" / "custom-1.dist-info"
            return [importlib.metadata.PathDistribution(folder)]

    monkeypatch.setattr(sys, "meta_path", [*sys.meta_path, Finder()])
    points = listed(reader.entry_points, GROUP)
    assert points == [("tcl_init", "os.path:join", GROUP), ("c", "os", GROUP)]
    assert points == listed(importlib.metadata.entry_points, GROUP)


def test_reader_agrees_with_importlib_on_this_machine():
    groups = {p.group for d in importlib.metadata.distributions() for p in d.entry_points}
    for group in sorted(groups | {GROUP}):
        theirs = listed(importlib.metadata.entry_points, group)
        assert listed(reader._read_group, group) == theirs, group


def test_loaded_objects_and_adapter_fields(tmp_path, monkeypatch):
    build(tmp_path, monkeypatch, LAYOUTS["groups, comments, blanks, extras"][0])
    ours = interpreter.iter_entry_points(group=GROUP)
    theirs = importlib.metadata.entry_points(group=GROUP)
    assert [(p.name, p.module_name) for p in ours] == [(p.name, p.module) for p in theirs]
    assert [p.load() for p in ours] == [p.load() for p in theirs]
    assert [p.name for p in interpreter.iter_entry_points(group=GROUP, name="init")] == ["init"]


def test_import_leaves_importlib_metadata_unloaded():
    probe = "import sys{}; print('importlib.metadata' in sys.modules)"
    before, after = (
        subprocess.run([sys.executable, "-c", probe.format(extra)], capture_output=True,
                       text=True, timeout=60, check=True).stdout.strip()
        for extra in ("", ", tessel.tcl")
    )
    if before == "True":
        pytest.skip("this Python's start-up imports importlib.metadata itself")
    assert after == "False"
