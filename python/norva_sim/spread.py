"""One vector over several servers: each holds a share of the environments, all are stepped at
once, and the answers come back as one vector's. A server's failure fails its share's slots for
that call; its share is made again at the next reset (with autoreset, at the next step), so a
server that comes back on its address is used again."""
import threading
from concurrent.futures import ThreadPoolExecutor

from ._stacking import copied, vector_infos
from .errors import NorvaError, ServerError
from .spaces import batched
from .vector import VectorEnv

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
    place, arrays end to end (lists without numpy), all new."""
    if not use_numpy:
        return [copied(value) for part in parts for value in part]
    if space.type == "dict":
        return {key: concatenated(item, [part[key] for part in parts], use_numpy)
                for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(concatenated(item, [part[index] for part in parts], use_numpy)
                     for index, item in enumerate(space.spaces))
    return numpy.concatenate([numpy.asarray(part) for part in parts])


def joined(parts, use_numpy):
    return numpy.concatenate(parts) if use_numpy else [value for part in parts for value in part]


def refused(error):
    """Whether a part's call failed by the caller's fault (an action that does not fit, say),
    which leaves its vector as it was, rather than by its server's."""
    return not isinstance(error, NorvaError) or getattr(error, "kind", None) == "invalid"


def failure_info(error):
    return {"error": str(error), "kind": getattr(error, "kind", None) or "unreachable"}


class Part:
    """One server's share: its slots, its vector (None from a failure until it is made again),
    and its slots' last observations, which stand for them while it has none."""

    def __init__(self, address, first, count):
        self.address, self.first, self.count = address, first, count
        self.vector = None
        self.session_ids = []
        self.observations = None

    def slice(self, values):
        return values[self.first:self.first + self.count]


class Outcome:
    """What one part gave for a call: its observations, rewards, flags and infos, each of its
    `count` slots."""

    def __init__(self, observations, rewards, terminated, truncated, infos):
        self.observations, self.infos = observations, infos
        self.rewards, self.terminated, self.truncated = rewards, terminated, truncated


class SpreadVectorEnv(VectorEnv):
    """A VectorEnv over several servers (see VectorEnv)."""

    def __init__(self, addresses, num_envs, env_id="", env_init=None, protocol="grpc",
                 autoreset="same-step", token=None, token_file=None, timeout=30.0,
                 use_numpy=None, infos="dict", on_failure="truncate", packed=True,
                 batch_size=None):
        if batch_size is not None:
            raise ValueError("batch_size is for a vector on one server")
        self.batch_size = None
        self._take_options(autoreset, infos, on_failure, use_numpy)
        addresses = list(addresses)
        if num_envs < len(addresses):
            raise ValueError(f"{num_envs} environments cannot be spread over {len(addresses)} "
                             f"servers")
        # Each part answers with a list of infos, which the whole gathers once, and its failed
        # slots truncated, which the whole raises for when asked to.
        self._part_options = dict(env_id=env_id, env_init=env_init, protocol=protocol,
                                  autoreset=autoreset, token=token, token_file=token_file,
                                  timeout=timeout, use_numpy=self._use_numpy, infos="list",
                                  on_failure="truncate", packed=packed)
        self._parts, self._pool = [], None
        first = 0
        try:
            for address, count in zip(addresses, shares(num_envs, len(addresses))):
                part = Part(address, first, count)
                self._parts.append(part)
                self._make(part)
                first += count
        except BaseException:
            self.close()
            raise
        self._pool = ThreadPoolExecutor(len(self._parts))
        self.num_envs = num_envs
        made = self._parts[0].vector
        self.single_observation_space = made.single_observation_space
        self.single_action_space = made.single_action_space
        self.observation_space = batched(self.single_observation_space, num_envs)
        self.action_space = batched(self.single_action_space, num_envs)

    @property
    def session_ids(self):
        """The sessions of the slots, in order; a failed server's are those it had."""
        return [slot for part in self._parts for slot in part.session_ids]

    def _make(self, part):
        part.vector = VectorEnv(part.address, part.count, **self._part_options)
        part.vector._first_slot = part.first
        part.session_ids = part.vector.session_ids

    def reset(self, seed=None, options=None):
        seed, seeds = self._seeds(seed)
        mask = None
        if options is not None and "reset_mask" in options:
            mask = [bool(each) for each in options["reset_mask"]]

        def reset(part):
            part_options = options
            if mask is not None:
                part_options = {**options, "reset_mask": part.slice(mask)}
            if part.vector is None:
                if mask is not None and not any(part.slice(mask)):
                    return self._held(part)
                # Its episodes went with its vector: every slot starts anew.
                self._make(part)
                part_options = None if mask is None else {
                    key: value for key, value in options.items() if key != "reset_mask"}
            part_seed = part.slice(seeds) if seeds is not None else \
                None if seed is None else seed + part.first
            observations, infos = part.vector.reset(seed=part_seed, options=part_options)
            return Outcome(observations, None, None, None, infos)

        return self._joined(self._each(reset), reset=True)

    def step(self, actions):
        if len(actions) != self.num_envs:
            raise ValueError(f"{len(actions)} actions for a vector of {self.num_envs}")

        def step(part):
            if part.vector is None:
                if self.autoreset_mode == "disabled":
                    return self._held(part)
                return self._restarted(part)
            return Outcome(*part.vector.step(part.slice(actions)))

        return self._joined(self._each(step), reset=False)

    def _restarted(self, part):
        """A failed part made again and reset, its slots answering as a new simulator's do at
        the step after a failure: the first observation, reward 0, neither flag."""
        self._make(part)
        observations, infos = part.vector.reset()
        count = part.count
        if self._use_numpy:
            return Outcome(observations, numpy.zeros(count), numpy.zeros(count, dtype=bool),
                           numpy.zeros(count, dtype=bool), infos)
        return Outcome(observations, [0.0] * count, [False] * count, [False] * count, infos)

    def _held(self, part):
        """The slots of a failed part left as they are: their last observations, reward 0."""
        count = part.count
        if self._use_numpy:
            return Outcome(part.observations, numpy.zeros(count), numpy.zeros(count, dtype=bool),
                           numpy.zeros(count, dtype=bool), [{} for _ in range(count)])
        return Outcome(part.observations, [0.0] * count, [False] * count, [False] * count,
                       [{} for _ in range(count)])

    def _failed(self, part, error):
        """The slots of a part whose call failed: truncated, reward 0, their last observations,
        the error in their infos. Its vector is let go (in the background, so that a server
        that hangs holds back nothing) and made again when it is next needed."""
        vector, part.vector = part.vector, None
        if vector is not None:
            threading.Thread(target=vector.close, daemon=True).start()
        count = part.count
        infos = [failure_info(error) for _ in range(count)]
        if self._use_numpy:
            return Outcome(part.observations, numpy.zeros(count), numpy.zeros(count, dtype=bool),
                           numpy.ones(count, dtype=bool), infos)
        return Outcome(part.observations, [0.0] * count, [False] * count, [True] * count, infos)

    def _each(self, call):
        """Runs `call(part)` on every part at once and waits for all of them, keeping each
        part's observations, then raises what must be raised: a refused call (the caller's
        mistake) always, a failure with on_failure="raise" or when the part has no observations
        to stand for its slots."""
        futures = [(part, self._pool.submit(call, part)) for part in self._parts]
        outcomes, raised = {}, None
        for part, future in futures:
            try:
                outcomes[part] = future.result()
                continue
            except Exception as error:
                failure = error
            if refused(failure):
                raised = raised or failure
                continue
            outcomes[part] = self._failed(part, failure)
            if self._on_failure == "raise" or part.observations is None:
                raised = raised or failure
        for part, outcome in outcomes.items():
            part.observations = outcome.observations
        if raised is not None:
            raise raised
        if self._on_failure == "raise":
            self._raise_slot_failure(outcomes)
        return outcomes

    def _raise_slot_failure(self, outcomes):
        for part in self._parts:
            for index, info in enumerate(outcomes[part].infos):
                if "error" in info:
                    raise ServerError(f"simulator {part.first + index} of the vector: "
                                      f"{info['error']}", kind=info.get("kind"))

    def _joined(self, outcomes, reset):
        """The parts' outcomes as one vector's."""
        parts = self._parts
        space = self.single_observation_space
        observations = concatenated(space, [outcomes[part].observations for part in parts],
                                    self._use_numpy)
        infos = [info for part in parts for info in outcomes[part].infos]
        infos = infos if self._infos == "list" else vector_infos(infos, space, self._use_numpy)
        if reset:
            return observations, infos
        return (observations,
                joined([outcomes[part].rewards for part in parts], self._use_numpy),
                joined([outcomes[part].terminated for part in parts], self._use_numpy),
                joined([outcomes[part].truncated for part in parts], self._use_numpy), infos)

    def close(self):
        for part in getattr(self, "_parts", ()):
            if part.vector is not None:
                try:
                    part.vector.close()
                except Exception:
                    pass
                part.vector = None
        if getattr(self, "_pool", None) is not None:
            self._pool.shutdown(wait=False)
        self.closed = True
