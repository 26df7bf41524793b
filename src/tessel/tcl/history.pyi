# Type information for tessel.tcl.history: the bounded, timestamped record of Tcl calls.
import logging
from collections import deque
from collections.abc import Hashable, Sequence
from datetime import datetime
from re import Pattern
from typing import ClassVar

from typing_extensions import disjoint_base

__all__ = ["History", "Entry"]

log: logging.Logger

@disjoint_base
class Entry:
    """One recorded call, with the local time it was recorded."""

    timestamp: datetime
    api: str
    def __init__(self, api: str | Sequence[str]) -> None: ...

@disjoint_base
class History:
    """The bounded record of an interpreter's Tcl calls, with named markers."""

    __MAX_HISTORY__: ClassVar[int]
    __history__: deque[Entry]
    __markers__: dict[Hashable, deque[Entry]]
    __activeMarkers__: list[Hashable]
    enabled: bool
    def __init__(self, max_history: int | None = 9999) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    def append(self, item: str | Sequence[str]) -> None: ...
    def clear(self, marker: Hashable | None = None, clear_all: bool = False) -> None: ...
    def start_marker(self, marker: Hashable) -> None: ...
    def end_marker(self, marker: Hashable) -> None: ...
    def filter(
        self,
        marker: Hashable | None = None,
        count: int = 20,
        regex: str | Pattern[str] | None = None,
    ) -> list[Entry]: ...
