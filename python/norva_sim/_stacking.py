"""N slots' values as one vector's, as Gymnasium gives them: observations stacked, infos
gathered key by key. Everything given out is the caller's own."""
try:
    import numpy
except ImportError:
    numpy = None


def copied(value):
    """A JSON value of the caller's own: without numpy, observations are the lists JSON gave,
    which the client keeps as the slots' last."""
    if isinstance(value, list):
        return [copied(item) for item in value]
    if isinstance(value, dict):
        return {key: copied(item) for key, item in value.items()}
    return value


def stacked(values, space, use_numpy):
    """N observations as one: a leaf's as one array of N rows in the space's dtype, a dict's key
    by key, a tuple's place by place."""
    if not use_numpy:
        return [copied(value) for value in values]
    if space.type == "dict":
        return {key: stacked([value[key] for value in values], item, use_numpy)
                for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(stacked([value[i] for value in values], item, use_numpy)
                     for i, item in enumerate(space.spaces))
    return numpy.asarray(values, dtype=space.dtype)


def zeros(space):
    """A value of the space's structure holding zeros, for a row that has none to give."""
    if space.type == "dict":
        return {key: zeros(item) for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(zeros(item) for item in space.spaces)
    return numpy.zeros(space.shape, dtype=space.dtype)


def final_observations(values, space, use_numpy):
    """The final observations of the slots whose episode ended (None for the others) stacked
    as observations are, zeros in the other rows, and the mask of those that ended; None when
    no episode ended."""
    mask = [value is not None for value in values]
    if not any(mask):
        return None
    if not use_numpy:
        return [copied(value) for value in values], mask
    filler = zeros(space)
    return (stacked([filler if value is None else value for value in values], space, use_numpy),
            numpy.asarray(mask))


def vector_infos(infos, space, use_numpy, finals=None):
    """N infos as Gymnasium gives a vector's (gathered below), their final observations stacked
    as observations are, beside the "_final_observation" mask. `finals`: those already
    stacked, with their mask, when the answer held them so."""
    values = [info.pop("final_observation", None) for info in infos]
    if finals is None:
        finals = final_observations(values, space, use_numpy)
    result = gathered(infos, use_numpy)
    if finals is not None:
        result["final_observation"], result["_final_observation"] = finals
    return result


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
