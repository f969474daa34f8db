"""One vector over several servers: each holds a share of the environments, all are stepped at
once, and the answers come back as one vector's."""
from concurrent.futures import ThreadPoolExecutor

from ._stacking import vector_infos
from .errors import NorvaError
from .spaces import batched
from .vector import _AUTORESET_MODES, VectorEnv

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
    """The machinery of VectorEnv over a list of addresses."""

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


class SpreadVectorEnv(VectorEnv):
    """A VectorEnv over several servers (see VectorEnv)."""

    def __init__(self, addresses, num_envs, env_id="", env_init=None, protocol="grpc",
                 autoreset="same-step", token=None, token_file=None, timeout=30.0,
                 use_numpy=None, infos="dict", on_failure="truncate", packed=True,
                 batch_size=None):
        if batch_size is not None:
            raise ValueError("batch_size is for a vector on one server")
        self.batch_size = None
        if infos not in ("dict", "list"):
            raise ValueError(f"infos is 'dict' or 'list', not {infos!r}")
        self._use_numpy = numpy is not None if use_numpy is None else use_numpy
        self._infos, self._on_failure = infos, on_failure
        self.autoreset_mode = _AUTORESET_MODES.get(autoreset, autoreset)

        def part(address, count):
            # Each part answers a list of infos, which the whole gathers once.
            return VectorEnv(address, count, env_id, env_init, protocol, autoreset, token,
                             token_file, timeout, use_numpy, "list", on_failure, packed)

        self._spread = Spread(part, list(addresses), num_envs, self._use_numpy, on_failure)
        first = self._spread.parts[0].vector
        self.num_envs = num_envs
        self.session_ids = [slot for part in self._spread.parts
                            for slot in part.vector.session_ids]
        self.single_observation_space = first.single_observation_space
        self.single_action_space = first.single_action_space
        self.observation_space = batched(self.single_observation_space, num_envs)
        self.action_space = batched(self.single_action_space, num_envs)

    def reset(self, seed=None, options=None):
        seeds = None
        if isinstance(seed, (list, tuple)) or getattr(seed, "ndim", 0) > 0:
            seed, seeds = None, [int(each) for each in seed]
        calls = dict(spread_reset(self._spread.parts, seed, seeds, options))
        answers = self._spread.each(lambda part: part.vector.reset(**calls[part]))
        return self._joined(answers, lambda part, answer: (answer[0], answer[1]))[::2]

    def step(self, actions):
        if len(actions) != self.num_envs:
            raise ValueError(f"{len(actions)} actions for a vector of {self.num_envs}")
        answers = self._spread.each(
            lambda part: part.vector.step(actions[part.first:part.first + part.count]))
        return self._joined(answers, None)

    def _joined(self, answers, pick):
        """The parts' answers as one vector's; a failed part's slots truncated, their last
        observations standing."""
        observations, rewards, terminated, truncated, infos = [], [], [], [], []
        for part in self._spread.parts:
            answer = answers.get(part)
            if answer is None:
                observations.append(part.observations)
                count = part.count
                rewards.append(numpy.zeros(count) if self._use_numpy else [0.0] * count)
                terminated.append(numpy.zeros(count, dtype=bool) if self._use_numpy
                                  else [False] * count)
                truncated.append(numpy.ones(count, dtype=bool) if self._use_numpy
                                 else [True] * count)
                infos.extend(self._spread.failed_infos(part))
                continue
            if pick is not None:
                observation, info = pick(part, answer)
                answer = (observation, None, None, None, info)
            part.observations = answer[0]
            observations.append(answer[0])
            rewards.append(answer[1])
            terminated.append(answer[2])
            truncated.append(answer[3])
            infos.extend(answer[4])
        if any(observation is None for observation in observations):
            failed = next(part for part in self._spread.parts if part.observations is None)
            raise failed.error
        space = self.single_observation_space
        infos = infos if self._infos == "list" else vector_infos(infos, space, self._use_numpy)
        if pick is not None:
            return concatenated(space, observations, self._use_numpy), None, infos
        return (concatenated(space, observations, self._use_numpy),
                joined(rewards, self._use_numpy), joined(terminated, self._use_numpy),
                joined(truncated, self._use_numpy), infos)

    def close(self):
        spread = getattr(self, "_spread", None)
        if spread is not None:
            spread.close()
