"""Spaces as the simulator describes them (docs/protocol.md): the JSON description, with
Gymnasium's attributes (a box's low, high, shape and dtype; a discrete's n and start; ...),
sample() and contains()."""
import math
import random

try:
    import numpy
except ImportError:
    numpy = None


def _shape_of(value):
    shape = []
    while isinstance(value, list):
        shape.append(len(value))
        value = value[0] if value else None
    return shape


def _flat(value):
    if isinstance(value, list):
        for item in value:
            yield from _flat(item)
    else:
        yield value


def _filled(shape, make):
    if not shape:
        return make()
    return [_filled(shape[1:], make) for _ in range(shape[0])]


def _bound(bounds, index, count):
    values = list(_flat(bounds))
    return values[index] if len(values) == count else values[0]


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_whole(value):
    return isinstance(value, int) and not isinstance(value, bool)


class Space:
    """One space: `description` is its JSON form, `type` its kind ("box", "discrete",
    "multi_discrete", "multi_binary", "dict", "tuple"), and Gymnasium's attributes beside them:
    `shape` and `dtype` for every kind but dict and tuple, `low` and `high` of a box (arrays of its
    shape when numpy is there), `n` and `start` of a discrete, `nvec` of a multi-discrete, `n` of a
    multi-binary, and `spaces` of a dict (a dict) or a tuple (a tuple)."""

    def __init__(self, description):
        if not isinstance(description, dict) or "type" not in description:
            raise ValueError(f"not a space: {description!r}")
        self.description = description
        self.type = description["type"]
        spaces = description.get("spaces")
        if self.type == "dict":
            self.spaces = {key: Space(item) for key, item in spaces.items()}
        elif self.type == "tuple":
            self.spaces = tuple(Space(item) for item in spaces)
        elif self.type == "discrete":
            self.n = description["n"]
            self.start = description.get("start", 0)
        elif self.type == "multi_discrete":
            self.nvec = _array(description["nvec"], "int64")
        elif self.type == "multi_binary":
            self.n = description["n"]
        elif self.type == "box":
            self.low = _bounds(description["low"], self.shape, self.dtype)
            self.high = _bounds(description["high"], self.shape, self.dtype)

    def __repr__(self):
        return f"Space({self.description!r})"

    @property
    def shape(self):
        kind = self.type
        if kind == "discrete":
            return ()
        if kind == "multi_discrete":
            return tuple(_shape_of(self.description["nvec"]))
        if kind == "multi_binary":
            n = self.description["n"]
            return tuple(n) if isinstance(n, list) else (n,)
        return tuple(self.description.get("shape", ()))

    @property
    def dtype(self):
        """The element type: a numpy dtype when numpy is there, its name otherwise; None for a
        dict or a tuple."""
        name = {"box": self.description.get("dtype", "float32"), "discrete": "int64",
                "multi_discrete": "int64", "multi_binary": "int8"}.get(self.type)
        return numpy.dtype(name) if numpy is not None and name else name

    def sample(self, rng=None):
        """A random member; the same `rng` state gives the same member."""
        rng = rng or random
        kind = self.type
        if kind == "box":
            shape = list(self.shape)
            count = math.prod(shape)
            whole = self.description.get("dtype", "float32").startswith(("int", "uint"))
            index = iter(range(max(count, 1)))

            def draw():
                i = next(index)
                low = _bound(self.description["low"], i, count)
                high = _bound(self.description["high"], i, count)
                low, high = max(low, -1e6), min(high, 1e6)
                return rng.randint(int(math.ceil(low)), int(math.floor(high))) if whole \
                    else rng.uniform(low, high)
            return _filled(shape, draw)
        if kind == "discrete":
            start = self.description.get("start", 0)
            return rng.randrange(start, start + self.description["n"])
        if kind == "multi_discrete":
            return _mapped(self.description["nvec"], rng.randrange)
        if kind == "multi_binary":
            return _filled(list(self.shape), lambda: rng.randrange(2))
        if kind == "dict":
            return {key: space.sample(rng) for key, space in self.spaces.items()}
        if kind == "tuple":
            return [space.sample(rng) for space in self.spaces]
        raise ValueError(f"unknown space type {kind!r}")

    def contains(self, value):
        """Whether the value is a member: its structure, kinds and bounds."""
        value = _plain(value)
        kind = self.type
        if kind == "box":
            if list(self.shape) != (_shape_of(value) if isinstance(value, list) else []):
                return False
            values = list(_flat(value))
            count = len(values)
            for i, item in enumerate(values):
                if not _is_number(item) or math.isnan(item):
                    return False
                low = _bound(self.description["low"], i, count)
                high = _bound(self.description["high"], i, count)
                if not low <= item <= high:
                    return False
            return True
        if kind == "discrete":
            start = self.description.get("start", 0)
            return _is_whole(value) and start <= value < start + self.description["n"]
        if kind == "multi_discrete":
            nvec = self.description["nvec"]
            return isinstance(value, list) and _shape_of(value) == _shape_of(nvec) and all(
                _is_whole(item) and 0 <= item < n for item, n in zip(_flat(value), _flat(nvec)))
        if kind == "multi_binary":
            return isinstance(value, list) and tuple(_shape_of(value)) == self.shape and all(
                _is_whole(item) and item in (0, 1) for item in _flat(value))
        if kind == "dict":
            return isinstance(value, dict) and value.keys() == self.spaces.keys() and all(
                space.contains(value[key]) for key, space in self.spaces.items())
        if kind == "tuple":
            return isinstance(value, list) and len(value) == len(self.spaces) and all(
                space.contains(item) for space, item in zip(self.spaces, value))
        return False

    __contains__ = contains


def batched(space, count):
    """The space of `count` members of `space` stacked, as Gymnasium batches a vector's spaces:
    a box gains a first dimension, a discrete becomes a multi-discrete, a dict or a tuple is
    batched member by member."""
    description = space.description
    kind = space.type
    if kind == "box":
        def tiled(bound):
            return bound if not isinstance(bound, list) else [bound] * count
        return Space({**description, "low": tiled(description["low"]),
                      "high": tiled(description["high"]),
                      "shape": [count, *description.get("shape", [])]})
    if kind == "discrete":
        return Space({"type": "multi_discrete", "nvec": [description["n"]] * count})
    if kind == "multi_discrete":
        return Space({"type": "multi_discrete", "nvec": [description["nvec"]] * count})
    if kind == "multi_binary":
        return Space({"type": "multi_binary", "n": [count, *space.shape]})
    if kind == "dict":
        return Space({"type": "dict", "spaces": {
            key: batched(item, count).description for key, item in space.spaces.items()}})
    if kind == "tuple":
        return Space({"type": "tuple",
                      "spaces": [batched(item, count).description for item in space.spaces]})
    raise ValueError(f"unknown space type {kind!r}")


def _array(values, dtype):
    return numpy.asarray(values, dtype=dtype) if numpy is not None else values


def _bounds(bound, shape, dtype):
    """A box's bound as an array of its shape (a number stands for every element)."""
    if numpy is None:
        return bound
    try:
        values = numpy.asarray(bound, dtype=dtype)
    except (OverflowError, ValueError):
        # An unbounded side of a box of whole numbers.
        values = numpy.asarray(bound, dtype="float64")
    return numpy.broadcast_to(values, shape).copy()


def _mapped(nested, make):
    if isinstance(nested, list):
        return [_mapped(item, make) for item in nested]
    return make(nested)


def json_default(value):
    """For json.dumps: numpy arrays and numbers as the plain lists and numbers of JSON, so that
    plain values cost nothing on the way."""
    if hasattr(value, "tolist"):
        return value.tolist()
    raise TypeError(f"{type(value).__name__} is not a value a simulator can take")


def _plain(value):
    """Numpy arrays and numbers as the plain lists and numbers of JSON."""
    if hasattr(value, "tolist"):
        return value.tolist()
    if isinstance(value, tuple):
        return [_plain(item) for item in value]
    if isinstance(value, list):
        return [_plain(item) for item in value]
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    return value
