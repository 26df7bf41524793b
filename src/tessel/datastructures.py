"""Small containers shared across the tessel framework."""


class AttrDict(dict):
    """A dict whose keys can also be read as attributes: ``d.key`` is ``d["key"]``."""

    __slots__ = ()

    def __getattr__(self, name):
        if not isinstance(name, str):
            raise TypeError(f"attribute name must be string, not '{type(name).__name__}'")
        # Python's own protocol names (__deepcopy__, __scriptify__, ...) are never keys:
        # serving them would let data pose as a hook.
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(
                f"{type(self).__name__!r} object has no attribute {name!r}"
            ) from None
