"""Spaces as the simulator describes them (docs/protocol.md): the JSON description, with
sample() and contains()."""
import math
import random


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
    """One space: `description` is its JSON form, `type` its kind."""

    def __init__(self, description):
        if not isinstance(description, dict) or "type" not in description:
            raise ValueError(f"not a space: {description!r}")
        self.description = description
        self.type = description["type"]
        spaces = description.get("spaces")
        if self.type == "dict":
            self.spaces = {key: Space(item) for key, item in spaces.items()}
        elif self.type == "tuple":
            self.spaces = [Space(item) for item in spaces]

    def __repr__(self):
        return f"Space({self.description!r})"

    @property
    def shape(self):
        return tuple(self.description.get("shape", ()))

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
            return [rng.randrange(n) for n in self.description["nvec"]]
        if kind == "multi_binary":
            return [rng.randrange(2) for _ in range(self.description["n"])]
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
            return isinstance(value, list) and len(value) == len(nvec) and all(
                _is_whole(item) and 0 <= item < n for item, n in zip(value, nvec))
        if kind == "multi_binary":
            return isinstance(value, list) and len(value) == self.description["n"] and all(
                _is_whole(item) and item in (0, 1) for item in value)
        if kind == "dict":
            return isinstance(value, dict) and value.keys() == self.spaces.keys() and all(
                space.contains(value[key]) for key, space in self.spaces.items())
        if kind == "tuple":
            return isinstance(value, list) and len(value) == len(self.spaces) and all(
                space.contains(item) for space, item in zip(self.spaces, value))
        return False

    __contains__ = contains


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
