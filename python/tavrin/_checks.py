# Argument checks as the host's conventions make them: exact kinds, and numbers converted when
# a call is bound. Shared by the modules so that their messages agree.


def require(value, kind, name):
    """TypeError naming `name` unless `value` is exactly of `kind` (a subclass, None too, fail)."""
    if type(value) is not kind:
        raise TypeError(f"{name} must be a {kind.__name__}, not {type(value).__name__}")


def as_float(value, name):
    """`value` as a 64-bit float, as a typed binding converts it: a float as it is, else through
    its __float__ or __index__; TypeError naming `name` for text, None, a list, ..."""
    kind = type(value)
    if kind is float:
        return value
    if hasattr(kind, "__float__"):
        return float(kind.__float__(value))
    if hasattr(kind, "__index__"):
        return float(kind.__index__(value))
    raise TypeError(f"{name} must be a float, not {kind.__name__}")
