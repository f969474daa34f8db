"""Spaces as the simulator describes them (docs/protocol.md): the JSON description, with
Gymnasium's attributes (a box's low, high, shape and dtype; a discrete's n and start; ...),
seed(), sample() and contains()."""
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
    shape when numpy is there), `n` and `start` of a discrete, `nvec` and `start` of a
    multi-discrete, `n` of a multi-binary, `spaces` of a dict (a dict) or a tuple (a tuple), and
    `np_random`, the generator sample() draws from (seeded by seed())."""

    _np_random = None

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
            # A batched discrete's starts (a simulator's multi-discrete starts at 0).
            self.start = _array(description.get("start", _mapped(description["nvec"],
                                                                 lambda _: 0)), "int64")
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

    def seed(self, seed=None):
        """Seeds the generator sample() draws from (a dict's or tuple's members each with a
        seed drawn from it, as Gymnasium does); gives the seeds used."""
        if numpy is None:
            self._np_random = random.Random(seed)
            return [seed]
        sequence = numpy.random.SeedSequence(seed)
        self._np_random = numpy.random.Generator(numpy.random.PCG64(sequence))
        seeds = [int(sequence.entropy)]
        members = list(self.spaces.values()) if self.type == "dict" else \
            list(self.spaces) if self.type == "tuple" else []
        for member, member_seed in zip(members, self._np_random.integers(
                numpy.iinfo(numpy.int32).max, size=len(members))):
            seeds += member.seed(int(member_seed))
        return seeds

    @property
    def np_random(self):
        if self._np_random is None:
            self.seed()
        return self._np_random

    def sample(self, rng=None):
        """A random member: with numpy, as Gymnasium gives it (numpy arrays of the space's dtype
        and shape, a discrete's a numpy integer, a dict's a dict, a tuple's a tuple), else
        JSON's lists and numbers. `rng` (a numpy Generator or a random.Random) draws instead of
        the space's own generator: the same state gives the same member."""
        if numpy is not None:
            if isinstance(rng, random.Random):
                rng = numpy.random.default_rng(rng.getrandbits(64))
            return self._drawn(rng)
        return self._listed(rng or self.np_random)

    def _drawn(self, rng):
        """A member in numpy's values, from `rng` or else each space's own generator."""
        kind = self.type
        if kind == "dict":
            return {key: space._drawn(rng) for key, space in self.spaces.items()}
        if kind == "tuple":
            return tuple(space._drawn(rng) for space in self.spaces)
        rng = rng or self.np_random
        if kind == "box":
            return self._box_drawn(rng)
        if kind == "discrete":
            return numpy.int64(self.start + rng.integers(self.n))
        if kind == "multi_discrete":
            return rng.integers(0, self.nvec, dtype=numpy.int64) + self.start
        if kind == "multi_binary":
            return rng.integers(0, 2, size=self.shape, dtype=numpy.int8)
        raise ValueError(f"unknown space type {kind!r}")

    def _box_drawn(self, rng):
        """As Gymnasium draws from a box: uniform where both sides are bounded, exponential from
        one bound, normal where neither is; whole numbers floored, their high bound included."""
        low = numpy.asarray(self.low, dtype=numpy.float64)
        high = numpy.asarray(self.high, dtype=numpy.float64)
        whole = self.dtype.kind in "iu"
        if whole:
            high = numpy.floor(high) + 1
        below, above = numpy.isfinite(low), numpy.isfinite(high)
        value = numpy.empty(self.shape, dtype=numpy.float64)
        both, neither = below & above, ~below & ~above
        value[both] = rng.uniform(low[both], high[both])
        value[neither] = rng.normal(size=neither.sum())
        only_low, only_high = below & ~above, ~below & above
        value[only_low] = low[only_low] + rng.exponential(size=only_low.sum())
        value[only_high] = high[only_high] - rng.exponential(size=only_high.sum())
        if whole:
            value = numpy.clip(numpy.floor(value), low, high - 1)
        return value.astype(self.dtype)

    def _listed(self, rng):
        """A member in JSON's lists and numbers (without numpy)."""
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
            nvec = self.description["nvec"]
            starts = _flat(self.description.get("start", _mapped(nvec, lambda _: 0)))
            return _mapped(nvec, lambda n: next(starts) + rng.randrange(n))
        if kind == "multi_binary":
            return _filled(list(self.shape), lambda: rng.randrange(2))
        if kind == "dict":
            return {key: space._listed(rng) for key, space in self.spaces.items()}
        if kind == "tuple":
            return [space._listed(rng) for space in self.spaces]
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
            starts = list(_flat(self.description.get("start", _mapped(nvec, lambda _: 0))))
            return isinstance(value, list) and _shape_of(value) == _shape_of(nvec) and all(
                _is_whole(item) and start <= item < start + n
                for item, n, start in zip(_flat(value), _flat(nvec), starts))
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
        batch = {"type": "multi_discrete", "nvec": [description["n"]] * count}
        if description.get("start", 0):
            batch["start"] = [description["start"]] * count
        return Space(batch)
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
