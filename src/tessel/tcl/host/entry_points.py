"""Entry points of the installed distributions, read from the metadata folders on sys.path.
importlib.metadata is slow to import (it brings email, csv and more); it is used only where
this reader cannot be sure of giving the answer importlib.metadata would give."""

import os
import re
import sys
from importlib import import_module
from importlib.machinery import PathFinder

# module, then ":" and dotted attributes, then "[extras]"; blanks allowed around the parts
_VALUE = re.compile(r"(?P<module>[\w.]+)\s*(:\s*(?P<attr>[\w.]+)\s*)?((?P<extras>\[.*\])\s*)?$")
_SEPARATORS = re.compile(r"[-_.]+")
_METADATA_SUFFIXES = (".dist-info", ".egg-info")


class EntryPoint:
    """One entry point of a distribution: its `name`, `group`, `value` ("module:attr [extras]")
    and the `module` and `attr` parts of the value."""

    __slots__ = ("name", "value", "group", "module", "attr")

    def __init__(self, name, value, group, module, attr):
        self.name, self.value, self.group, self.module, self.attr = name, value, group, module, attr

    def __repr__(self):
        return "EntryPoint(name=%r, value=%r, group=%r)" % (self.name, self.value, self.group)

    def load(self):
        """Imports the module and walks the dotted attributes after the colon."""
        target = import_module(self.module)
        for part in (self.attr or "").split("."):
            if part:
                target = getattr(target, part)
        return target


class _Unsure(Exception):
    """A layout this reader does not read exactly as importlib.metadata does."""


def entry_points(group):
    """The entry points of `group` in the distributions on sys.path: for each distribution
    name only the first found along sys.path, in that order, each file's in its own order."""
    try:
        return _read_group(group)
    except _Unsure:
        from importlib.metadata import entry_points as importlib_entry_points

        return list(importlib_entry_points(group=group))


def _read_group(group):
    """What `entry_points` reads itself; raises _Unsure where it cannot be sure."""
    if not isinstance(group, str):
        raise _Unsure
    # Any finder besides the standard path finder that knows distributions adds its own.
    finders = [f for f in sys.meta_path if getattr(f, "find_distributions", None) is not None]
    if len(finders) != 1 or finders[0] is not PathFinder:
        raise _Unsure
    found = []
    seen = set()
    for entry in sys.path:
        for folder, name in _metadata_folders(entry):
            if name not in seen:
                seen.add(name)
                found.extend(_read_file(folder, group))
    return found


def _normalize(name):
    """A distribution name as importlib.metadata compares it: runs of - _ . as one _, lower case."""
    return _SEPARATORS.sub("_", name).lower()


def _metadata_folders(entry):
    """The metadata folders (or files) in one sys.path entry, each with its normalised
    distribution name, grouped by name in the order of the first of each name."""
    if not isinstance(entry, str) or os.path.basename(entry).lower().endswith(".egg"):
        raise _Unsure
    try:
        children = os.listdir(entry or ".")
    except FileNotFoundError:
        return []
    except (OSError, ValueError):
        raise _Unsure from None  # a file (zip archive) or a folder we may not list
    by_name = {}
    for child in children:
        if not child.lower().endswith(_METADATA_SUFFIXES):
            continue
        stem, suffix = os.path.splitext(child)
        name = stem.partition("-")[0]
        if suffix not in _METADATA_SUFFIXES or not name:
            raise _Unsure  # the name would come from the metadata file, not the folder name
        name = _normalize(name)
        by_name.setdefault(name, []).append((os.path.join(entry, child), name))
    return [folder for folders in by_name.values() for folder in folders]


def _read_file(folder, group):
    """The entry points of `group` in the entry_points.txt of one metadata folder."""
    try:
        with open(os.path.join(folder, "entry_points.txt"), encoding="utf-8") as file:
            text = file.read()
    except (FileNotFoundError, NotADirectoryError):
        return []  # no entry points, or an .egg-info that is a file
    except (OSError, ValueError):
        raise _Unsure from None  # unreadable, or not UTF-8
    found = []
    section = None
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("[") and line.endswith("]"):
            section = line.strip("[]")
            continue
        if section is None:
            continue
        name, equals, value = line.partition("=")
        if not equals:
            raise _Unsure  # importlib.metadata fails on a line without "="
        if section != group:
            continue
        value = value.strip()
        parts = _VALUE.match(value)
        if parts is None:
            raise _Unsure  # importlib.metadata's error for it comes when the module is asked for
        found.append(EntryPoint(name.strip(), value, section, parts["module"], parts["attr"]))
    return found
