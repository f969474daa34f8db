"""N slots' values as one vector's, as Gymnasium gives them: observations stacked, infos
gathered key by key."""
try:
    import numpy
except ImportError:
    numpy = None


def stacked(values, space, use_numpy):
    """N observations as one: a box's as one array with N rows, a dict's key by key."""
    if not use_numpy:
        return values
    if space.type == "box":
        return numpy.asarray(values, dtype=space.dtype)
    if space.type == "dict":
        return {key: stacked([value[key] for value in values], item, use_numpy)
                for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(stacked([value[i] for value in values], item, use_numpy)
                     for i, item in enumerate(space.spaces))
    if space.type == "discrete":
        return numpy.asarray(values, dtype=numpy.int64)
    return numpy.asarray(values)


def gathered(infos, use_numpy):
    """N infos as Gymnasium gives a vector's: one entry per key holding N values, and beside it
    "_key", a mask of the slots that have it. A dict is gathered key by key; numbers and flags
    become arrays of their kind, anything else an array of objects (lists without numpy)."""
    keys = {}
    for info in infos:
        if info:
            keys.update(dict.fromkeys(info))
    result = {}
    for key in keys:
        mask = [key in info for info in infos]
        values = [info.get(key) for info in infos]
        present = [value for value in values if value is not None]
        if present and all(isinstance(value, dict) for value in present):
            result[key] = gathered([value or {} for value in values], use_numpy)
        elif not use_numpy:
            result[key] = values
        elif present and all(isinstance(value, bool) for value in present):
            result[key] = numpy.asarray([bool(value) for value in values])
        elif present and all(isinstance(value, (int, float)) and not isinstance(value, bool)
                             for value in present):
            kind = int if all(isinstance(value, int) for value in present) else float
            result[key] = numpy.asarray([value if value is not None else 0 for value in values],
                                        dtype=kind)
        else:
            column = numpy.empty(len(values), dtype=object)
            column[:] = values
            result[key] = column
        result["_" + key] = numpy.asarray(mask) if use_numpy else mask
    return result
