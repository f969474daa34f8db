"""One vector over several servers: each holds a share of the environments, all are stepped at
once, and the answers come back as one vector's."""
from concurrent.futures import ThreadPoolExecutor

from .errors import NorvaError

try:
    import numpy
except ImportError:
    numpy = None


def shares(count, servers):
    """`count` environments spread evenly, the first servers taking one more."""
    each, more = divmod(count, servers)
    return [each + (1 if index < more else 0) for index in range(servers)]


def concatenated(space, parts, use_numpy):
    """Observations of consecutive slots as one vector's: a dict's key by key, a tuple's place by
    place, arrays end to end (lists without numpy)."""
    if not use_numpy:
        return [value for part in parts for value in part]
    if space.type == "dict":
        return {key: concatenated(item, [part[key] for part in parts], use_numpy)
                for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(concatenated(item, [part[index] for part in parts], use_numpy)
                     for index, item in enumerate(space.spaces))
    return numpy.concatenate([numpy.asarray(part) for part in parts])


def joined(parts, use_numpy):
    return numpy.concatenate(parts) if use_numpy else [value for part in parts for value in part]


class Part:
    """One server's share: its vector, its slots, and what it last answered, which stands for it
    once the server has failed."""

    def __init__(self, vector, first, count):
        self.vector, self.first, self.count = vector, first, count
        self.observations = None
        self.error = None


def spread_reset(parts, seed, seeds, options):
    """The arguments of each part's reset: seed s gives slot i s + i wherever it is served."""
    for part in parts:
        part_options = options
        if options is not None and "reset_mask" in options:
            mask = list(options["reset_mask"])
            part_options = {**options, "reset_mask": mask[part.first:part.first + part.count]}
        if seeds is not None:
            yield part, {"seed": list(seeds)[part.first:part.first + part.count],
                         "options": part_options}
        else:
            yield part, {"seed": None if seed is None else int(seed) + part.first,
                         "options": part_options}


class Spread:
    """The machinery of VectorEnv over a list of addresses (norva_sim.env)."""

    def __init__(self, make_part, addresses, num_envs, use_numpy, on_failure):
        if num_envs < len(addresses):
            raise ValueError(f"{num_envs} environments cannot be spread over {len(addresses)} "
                             f"servers")
        self.use_numpy, self.on_failure = use_numpy, on_failure
        self.parts = []
        first = 0
        try:
            for address, count in zip(addresses, shares(num_envs, len(addresses))):
                self.parts.append(Part(make_part(address, count), first, count))
                first += count
        except BaseException:
            self.close()
            raise
        self.pool = ThreadPoolExecutor(len(self.parts))

    def each(self, call):
        """Runs `call(part)` on every live part at once; a part's failure is kept as its error
        (raised, with on_failure="raise")."""
        futures = {part: self.pool.submit(call, part) for part in self.parts if part.error is None}
        answers = {}
        for part, future in futures.items():
            try:
                answers[part] = future.result()
            except NorvaError as error:
                if self.on_failure == "raise":
                    raise
                part.error = error
        return answers

    def failed_infos(self, part):
        error = part.error
        return [{"error": str(error), "kind": getattr(error, "kind", None) or "unreachable"}
                for _ in range(part.count)]

    def close(self):
        for part in self.parts:
            try:
                part.vector.close()
            except Exception:
                pass
        pool = getattr(self, "pool", None)
        if pool is not None:
            pool.shutdown(wait=False)
