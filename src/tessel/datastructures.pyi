# Type information for tessel.datastructures: small containers shared across the framework.
from typing import TypeVar

_KT = TypeVar("_KT")
_VT = TypeVar("_VT")

class AttrDict(dict[_KT, _VT]):
    """A dict whose keys can also be read as attributes: ``d.key`` is ``d["key"]``."""

    def __getattr__(self, name: str) -> _VT: ...
