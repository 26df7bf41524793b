"""The mapping that Tcl array casts return."""

from tkinter import TclError

from .internal import GetListFromAny


class Array(dict):
    """Tcl array elements by index, in the order Tcl listed them."""

    __slots__ = ()

    @staticmethod
    def from_tcl(value):
        """Builds an Array from an [array get] list (index, value, index, value, ...)."""
        try:
            words = GetListFromAny(value)
        except TclError as exc:
            raise ValueError(exc) from exc
        if len(words) % 2:
            raise ValueError(
                f"an [array get] list needs index/value pairs, got {len(words)} words"
            )
        return Array(zip(words[0::2], words[1::2]))
