"""N sessions of a served sim stepped together (VectorEnv), with Gymnasium's vector
signatures; over one server, or over several (norva_sim.spread)."""
import functools
import weakref

from ._stacking import stacked, vector_infos
from .env import _as_arrays, _release, _transport
from .errors import ServerError
from .spaces import Space, batched

try:
    import numpy
except ImportError:
    numpy = None


def _packed_assembled(space, leaves):
    from ._packed import assembled
    return assembled(space, leaves)


def _packed_row(space, leaves, row):
    from ._packed import row_of
    return row_of(space, leaves, row)


_AUTORESET_MODES = {True: "same-step", False: "disabled", "same-step": "same-step",
                    "next-step": "next-step", "disabled": "disabled"}


@functools.lru_cache(maxsize=None)
def _gymnasium_autoreset(mode):
    """The autoreset mode as Gymnasium's wrappers read it from the metadata: its AutoresetMode
    where Gymnasium has one, the mode's name otherwise."""
    try:
        from gymnasium.vector import AutoresetMode
    except ImportError:
        return mode
    return {"same-step": AutoresetMode.SAME_STEP, "next-step": AutoresetMode.NEXT_STEP,
            "disabled": AutoresetMode.DISABLED}[mode]


class VectorEnv:
    """N sessions of a served sim stepped together in one call, with Gymnasium's vector
    signatures and spaces: `single_observation_space` and `single_action_space` are one
    simulator's, `observation_space` and `action_space` the batched ones.

    `autoreset` is Gymnasium's mode:
    - "same-step" (the default, or True): a simulator whose step ends its episode is reset in the
      same call; its observation is the new episode's first, and its info holds
      "final_observation" and "final_info" of the episode that ended.
    - "next-step": the step after an episode ended resets that simulator instead of stepping it
      (its action is not used) and answers the new episode's first observation, reward 0.
    - "disabled" (or False): an ended simulator is left as it is until reset(options={
      "reset_mask": mask}) resets the ones the mask marks; stepping it gives its last
      observation again and takes no action to it.

    A simulator that fails (it crashed, say), or an environment that answers its step with an
    error, ends its slot's episode and no other's: the slot comes back truncated once, with its
    last observation and the error in its info ("error", "kind"), and is reset at the next step
    with autoreset, at the next reset without. `on_failure="raise"` raises ServerError for the
    whole step instead.

    Infos are Gymnasium's dict of arrays with "_key" masks, "final_observation" stacked as
    observations are beside its "_final_observation" mask; `infos="list"` gives a list of N
    dicts instead. Every array handed out is writable and the caller's own.

    Gymnasium's wrappers find what they read: `metadata` (with "autoreset_mode"),
    `render_mode`, `spec`, `np_random` (seeded by reset(seed=s)), `unwrapped` and `closed`.

    With numpy, in same-step mode (and over HTTP with protobuf), the vector is made packed: the
    server answers each leaf of the observations as one array of N rows, read with
    numpy.frombuffer, and actions of a box, discrete, multi-discrete or multi-binary space go
    out as one array.
    `packed=False` asks for JSON instead, as a server that does not pack answers anyway.

    `batch_size=M` (below `num_envs`) steps without waiting for stragglers: each answer holds
    the first M environments to finish, infos["env_id"] naming each row's environment, and the
    next step carries actions for exactly those (`step_async(actions, env_ids)` then
    `step_wait()`, or `send`/`recv`; env_ids default to the last answer's, every environment
    after a reset). Same-step autoreset only; for a sim of one environment a process.

    `address` may be a list of addresses: the environments are spread evenly over those servers
    (the first ones taking one more), all are stepped at once, and the answers come as one
    vector's, slot i being the i-th environment in the order of the list. A server that fails
    (it went away, say) fails its own slots for that call, truncated with their last
    observations and the error in their infos (kind "unreachable" when it could not be
    reached), as a crashed simulator does; its share is made again at the next step with
    autoreset (answering new episodes' first observations), at the next reset without, so a
    server back on its address is used again. An action a server refuses raises as on one
    server, the others having taken theirs. With on_failure="raise", every server's call is
    finished before the failure is raised.
    """

    render_mode = None
    spec = None
    closed = False
    _np_random = None
    # The place of slot 0 in a larger vector that holds this one, for messages.
    _first_slot = 0

    def __new__(cls, address, *arguments, **options):
        if cls is VectorEnv and not isinstance(address, str):
            from .spread import SpreadVectorEnv
            return super().__new__(SpreadVectorEnv)
        return super().__new__(cls)

    def __init__(self, address, num_envs, env_id="", env_init=None, protocol="grpc",
                 autoreset="same-step", token=None, token_file=None, timeout=30.0,
                 use_numpy=None, infos="dict", on_failure="truncate", packed=True,
                 batch_size=None):
        self._take_options(autoreset, infos, on_failure, use_numpy)
        if batch_size is not None and self.autoreset_mode != "same-step":
            raise ValueError("batch_size needs same-step autoreset")
        self.batch_size = batch_size
        # Steps sent and not yet received, and the environments the next one is for.
        self._sent, self._next_ids = 0, None
        self._transport = _transport(address, protocol, token, token_file, timeout)
        self._packed = bool(packed and self._use_numpy and self.autoreset_mode == "same-step"
                            and getattr(self._transport, "packs", False))
        self._vector = None
        self._release = weakref.finalize(self, _release, self._transport, None, None)
        try:
            self._vector, self.session_ids = self._transport.make_vector(
                env_id, env_init or {}, num_envs, self.autoreset_mode == "same-step",
                self._packed, batch_size or 0)
            self._release.detach()
            self._release = weakref.finalize(self, _release, self._transport,
                                             type(self._transport).close_vector, self._vector)
            self.num_envs = num_envs
            first = self.session_ids[0]
            self.single_observation_space = Space(self._transport.space(first, "sensor_space"))
            self.single_action_space = Space(self._transport.space(first, "action_space"))
            self.observation_space = batched(self.single_observation_space, num_envs)
            self.action_space = batched(self.single_action_space, num_envs)
        except BaseException:
            self.close()
            raise
        # Each slot's last observation as the simulator wrote it, and whether its episode ended.
        self._last = [None] * num_envs
        self._ended = [False] * num_envs
        # Packed: each leaf's last observations as one array, and the slots that have one.
        self._leaves = None
        self._seen = numpy.zeros(num_envs, dtype=bool) if self._packed else None
        from ._packed import leaf_dtype
        self._action_dtype = leaf_dtype(self.single_action_space) if self._packed else None

    def _take_options(self, autoreset, infos, on_failure, use_numpy):
        """Checks and keeps the options every vector takes."""
        if autoreset not in _AUTORESET_MODES:
            raise ValueError(f"autoreset is 'same-step', 'next-step' or 'disabled', not "
                             f"{autoreset!r}")
        if infos not in ("dict", "list"):
            raise ValueError(f"infos is 'dict' or 'list', not {infos!r}")
        if on_failure not in ("truncate", "raise"):
            raise ValueError(f"on_failure is 'truncate' or 'raise', not {on_failure!r}")
        self.autoreset_mode = _AUTORESET_MODES[autoreset]
        self.metadata = {"autoreset_mode": _gymnasium_autoreset(self.autoreset_mode),
                         "render_modes": []}
        self._infos, self._on_failure = infos, on_failure
        self._use_numpy = numpy is not None if use_numpy is None else use_numpy

    def reset(self, seed=None, options=None):
        """`seed` s seeds simulator i with s + i; a list gives one seed each. With
        options={"reset_mask": mask} only the slots the mask marks are reset; the others keep
        their episodes and give their last observation."""
        seed, seeds = self._seeds(seed)
        while self._sent:
            # Answers still on their way belong to the steps the reset ends.
            self._sent -= 1
            self._transport.receive_step_vector(self._vector)
        self._next_ids = None
        mask = None
        if options is not None and "reset_mask" in options:
            mask = [bool(each) for each in options["reset_mask"]]
            options = {**options, "reset_mask": mask}
        results = self._transport.reset_vector(self._vector, seed, seeds, options)
        if not isinstance(results, list):
            return self._reset_packed(results)
        # A server that does not pack answers JSON, and takes its actions so.
        self._packed = False
        infos = []
        for slot, result in enumerate(results):
            if result is None:
                infos.append({})
                continue
            if "error" in result and "observation" not in result:
                if self._on_failure == "raise" or self._last[slot] is None:
                    raise self._slot_failure(slot, result["error"], result.get("kind"))
                infos.append({"error": result["error"], "kind": result.get("kind")})
                self._ended[slot] = True
                continue
            self._last[slot] = result["observation"]
            self._ended[slot] = False
            infos.append(result.get("info", {}))
        return self._observations(), self._infos_of(infos)

    def step(self, actions, env_ids=None):
        if self.batch_size is not None:
            self.step_async(actions, env_ids)
            return self.step_wait()
        if self._packed:
            return self._step_packed(actions)
        actions = actions.tolist() if hasattr(actions, "tolist") else list(actions)
        if len(actions) != self.num_envs:
            raise ValueError(f"{len(actions)} actions for a vector of {self.num_envs}")
        mode = self.autoreset_mode
        restarted = {}
        if mode == "next-step" and any(self._ended):
            restarted = self._reset_ended()
        waiting = [slot for slot in range(self.num_envs)
                   if slot not in restarted and not (mode == "disabled" and self._ended[slot])]
        results = [None] * self.num_envs
        if waiting:
            sent = [actions[slot] if slot in waiting else None for slot in range(self.num_envs)]
            if len(waiting) == self.num_envs:
                sent = actions
            results = self._transport.step_vector(self._vector, sent)
        rewards, terminations, truncations, infos = [], [], [], []
        for slot in range(self.num_envs):
            result = restarted.get(slot) if slot in restarted else results[slot]
            if result is None:
                result = {"observation": self._last[slot], "reward": 0.0, "terminated": False,
                          "truncated": False, "info": {}}
            elif "error" in result and "observation" not in result:
                result = self._failed(slot, result)
            self._last[slot] = result["observation"]
            ended = bool(result["terminated"] or result["truncated"])
            self._ended[slot] = ended if mode != "same-step" else False
            rewards.append(result["reward"])
            terminations.append(result["terminated"])
            truncations.append(result["truncated"])
            infos.append(result.get("info", {}))
        if self._use_numpy:
            rewards = numpy.asarray(rewards, dtype=numpy.float64)
            terminations = numpy.asarray(terminations, dtype=bool)
            truncations = numpy.asarray(truncations, dtype=bool)
        return self._observations(), rewards, terminations, truncations, self._infos_of(infos)

    def step_async(self, actions, env_ids=None):
        """Sends actions for the environments `env_ids` names (the last answer's by default)
        without waiting; step_wait() gives the answer. Only with a batch_size."""
        if self.batch_size is None:
            raise ValueError("step_async needs a vector made with batch_size")
        if env_ids is None:
            env_ids = self._next_ids
        env_ids = [] if env_ids is None else [int(each) for each in env_ids]
        actions, tensor = self._packed_actions(actions, len(env_ids) or self.num_envs)
        self._transport.send_step_vector(self._vector, actions, tensor, env_ids)
        self._sent += 1
        self._next_ids = []

    def step_wait(self):
        """The answer to the first step sent and not yet received: the first batch_size
        environments to finish, infos["env_id"] naming each row's environment."""
        if not self._sent:
            raise ValueError("step_wait comes after step_async")
        self._sent -= 1
        answer = self._transport.receive_step_vector(self._vector)
        env_ids = list(answer.env_ids)
        if self._packed and not isinstance(answer, list):
            observations, rewards, terminated, truncated, infos, finals = \
                self._batch_packed(answer)
        else:
            observations, rewards, terminated, truncated, infos = self._batch_json(answer, env_ids)
            finals = None
        self._next_ids = env_ids
        infos = self._infos_of(infos, finals)
        if self._infos == "list":
            for info, env_id in zip(infos, env_ids):
                info["env_id"] = env_id
        else:
            infos["env_id"] = numpy.asarray(env_ids, dtype=numpy.int64) if self._use_numpy \
                else env_ids
        return observations, rewards, terminated, truncated, infos

    send, recv = step_async, step_wait

    def _batch_packed(self, answer):
        for row, failure in answer.failures.items():
            if self._on_failure == "raise":
                raise self._slot_failure(answer.env_ids[row], failure["error"], failure["kind"])
        infos = answer.infos
        for row, failure in answer.failures.items():
            infos[row] = dict(failure)
        # Each environment's last observation is kept, so that a failed row gives its own.
        env_ids = numpy.asarray(answer.env_ids, dtype=numpy.int64)
        answered = answer.answered
        leaves = {name: leaf if leaf.flags.writeable else leaf.copy()
                  for name, leaf in self._leaves.items()}
        for name, array in answer.observations.items():
            leaves[name][env_ids[answered]] = array[answered]
        self._leaves = leaves
        observations = _packed_assembled(self.single_observation_space,
                                         {name: leaf[env_ids] for name, leaf in leaves.items()})
        return (observations, *self._packed_outcomes(answer, infos))

    def _batch_json(self, results, env_ids):
        rows, infos = [], []
        for slot, result in zip(env_ids, results):
            if "error" in result and "observation" not in result:
                result = self._failed(slot, result)
            self._last[slot] = result["observation"]
            rows.append(result)
            infos.append(result.get("info", {}))
        observations = stacked([row["observation"] for row in rows],
                                self.single_observation_space, self._use_numpy)
        rewards = [row["reward"] for row in rows]
        terminated = [row["terminated"] for row in rows]
        truncated = [row["truncated"] for row in rows]
        if self._use_numpy:
            rewards = numpy.asarray(rewards, dtype=numpy.float64)
            terminated = numpy.asarray(terminated, dtype=bool)
            truncated = numpy.asarray(truncated, dtype=bool)
        return observations, rewards, terminated, truncated, infos

    def close(self):
        self._vector = None
        self.closed = True
        self._release()

    @property
    def unwrapped(self):
        return self

    @property
    def np_random(self):
        """The vector's own generator, as Gymnasium's: seeded by reset(seed=s), else at first
        use."""
        if self._np_random is None and numpy is not None:
            self._np_random = numpy.random.default_rng()
        return self._np_random

    @np_random.setter
    def np_random(self, generator):
        self._np_random = generator

    def _seeds(self, seed):
        """A reset's seed as (one seed, None) or (None, a seed each); one seed also seeds
        np_random."""
        if isinstance(seed, (list, tuple)) or getattr(seed, "ndim", 0) > 0:
            return None, [int(each) for each in seed]
        if seed is None:
            return None, None
        if numpy is not None:
            self._np_random = numpy.random.default_rng(int(seed))
        return int(seed), None

    def _step_packed(self, actions):
        answer = self._transport.step_vector(self._vector,
                                             *self._packed_actions(actions, self.num_envs))
        infos = self._take(answer)
        rewards, terminated, truncated, infos, finals = self._packed_outcomes(answer, infos)
        return (self._observations(), rewards, terminated, truncated,
                self._infos_of(infos, finals))

    def _packed_actions(self, actions, count):
        """`count` actions as the transport takes them: (None, one array) for an action space of
        one leaf, (a list, None) for the others."""
        if self._packed and self._action_dtype is not None:
            tensor = numpy.ascontiguousarray(actions, dtype=self._action_dtype)
            if tensor.ndim == 0 or len(tensor) != count:
                raise ValueError(f"{len(tensor) if tensor.ndim else 1} actions for {count} "
                                 f"environments")
            return None, tensor
        actions = actions.tolist() if hasattr(actions, "tolist") else list(actions)
        if len(actions) != count:
            raise ValueError(f"{len(actions)} actions for {count} environments")
        return actions, None

    def _packed_outcomes(self, answer, infos):
        """A packed step's rewards, flags and infos, a failed row truncated with reward 0, and
        the final observations of the episodes autoreset ended: stacked with their mask for
        infos in Gymnasium's dict (else None), each in its own info for a list of infos."""
        rewards, terminated, truncated = answer.rewards, answer.terminated, answer.truncated
        for row in answer.failures:
            rewards[row], terminated[row], truncated[row] = 0.0, False, True
        if answer.finals is None or not answer.final_mask.any():
            return rewards, terminated, truncated, infos, None
        space = self.single_observation_space
        if self._infos == "list":
            for row in numpy.flatnonzero(answer.final_mask):
                infos[row]["final_observation"] = _packed_row(space, answer.finals, row)
            return rewards, terminated, truncated, infos, None
        others = ~answer.final_mask
        leaves = {}
        for name, array in answer.finals.items():
            leaves[name] = array.copy()
            leaves[name][others] = 0
        return (rewards, terminated, truncated, infos,
                (_packed_assembled(space, leaves), answer.final_mask))

    def _reset_packed(self, answer):
        infos = self._take(answer)
        return self._observations(), self._infos_of(infos)

    def _take(self, answer):
        """Keeps the observations a packed answer holds, a slot without one keeping its last,
        and gives the infos, a failed slot's holding its error."""
        for slot, failure in answer.failures.items():
            if self._on_failure == "raise" or not self._seen[slot]:
                raise self._slot_failure(slot, failure["error"], failure["kind"])
        rows = answer.answered
        if self._leaves is None or rows.all():
            # The message's own bytes, which nothing writes: what is handed out is copied.
            self._leaves = dict(answer.observations)
        else:
            merged = {}
            for name, array in answer.observations.items():
                merged[name] = self._leaves[name].copy()
                merged[name][rows] = array[rows]
            self._leaves = merged
        self._seen |= rows
        infos = answer.infos
        for slot, failure in answer.failures.items():
            infos[slot] = dict(failure)
        return infos

    def _reset_ended(self):
        """Resets the slots whose episode ended (next-step mode); each answers as a step that
        earned nothing."""
        results = self._transport.reset_vector(self._vector, None, None,
                                               {"reset_mask": list(self._ended)})
        restarted = {}
        for slot, result in enumerate(results):
            if result is None:
                continue
            if "error" not in result or "observation" in result:
                result = {"observation": result["observation"], "reward": 0.0,
                          "terminated": False, "truncated": False,
                          "info": result.get("info", {})}
            restarted[slot] = result
        return restarted

    def _failed(self, slot, result):
        if self._on_failure == "raise" or self._last[slot] is None:
            raise self._slot_failure(slot, result["error"], result.get("kind"))
        return {"observation": self._last[slot], "reward": 0.0, "terminated": False,
                "truncated": True, "info": {"error": result["error"], "kind": result.get("kind")}}

    def _slot_failure(self, slot, error, kind):
        return ServerError(f"simulator {self._first_slot + slot} of the vector: {error}",
                           kind=kind)

    def _observations(self):
        """The slots' observations, in arrays of the caller's own."""
        if self._packed:
            return _packed_assembled(self.single_observation_space,
                                     {name: leaf.copy() for name, leaf in self._leaves.items()})
        return stacked(self._last, self.single_observation_space, self._use_numpy)

    def _infos_of(self, infos, finals=None):
        """The infos in the form asked for; `finals`: a packed answer's final observations
        stacked, and their mask."""
        space = self.single_observation_space
        if self._infos == "dict":
            return vector_infos(infos, space, self._use_numpy, finals)
        # Packed final observations come as arrays already.
        for info in infos if not self._packed else ():
            if "final_observation" in info:
                info["final_observation"] = _as_arrays(info["final_observation"], space,
                                                       self._use_numpy)
        return infos

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
