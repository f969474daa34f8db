"""N sessions of a served sim stepped together (VectorEnv), with Gymnasium's vector
signatures; over one server, or over several (norva_sim.spread)."""
import weakref

from ._stacking import gathered, stacked
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

    A simulator that fails (it crashed, say) does not end the others' episodes: its slot comes
    back truncated, with its last observation and the error in its info ("error", "kind"), and
    is given a new simulator at the next step (same-step) or reset. `on_failure="raise"` raises
    ServerError for the whole step instead.

    Infos are Gymnasium's dict of arrays with "_key" masks; `infos="list"` gives a list of N
    dicts instead.

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
    (it went away, say) fails its own slots, truncated with the error in their infos, as a
    crashed simulator does; with on_failure="raise" it raises.
    """

    def __new__(cls, address, *arguments, **options):
        if cls is VectorEnv and not isinstance(address, str):
            from .spread import SpreadVectorEnv
            return super().__new__(SpreadVectorEnv)
        return super().__new__(cls)

    def __init__(self, address, num_envs, env_id="", env_init=None, protocol="grpc",
                 autoreset="same-step", token=None, token_file=None, timeout=30.0,
                 use_numpy=None, infos="dict", on_failure="truncate", packed=True,
                 batch_size=None):
        if autoreset not in _AUTORESET_MODES:
            raise ValueError(f"autoreset is 'same-step', 'next-step' or 'disabled', not "
                             f"{autoreset!r}")
        if infos not in ("dict", "list"):
            raise ValueError(f"infos is 'dict' or 'list', not {infos!r}")
        if on_failure not in ("truncate", "raise"):
            raise ValueError(f"on_failure is 'truncate' or 'raise', not {on_failure!r}")
        self.autoreset_mode = _AUTORESET_MODES[autoreset]
        if batch_size is not None and self.autoreset_mode != "same-step":
            raise ValueError("batch_size needs same-step autoreset")
        self.batch_size = batch_size
        # Steps sent and not yet received, and the environments the next one is for.
        self._sent, self._next_ids = 0, None
        self._infos, self._on_failure = infos, on_failure
        self._use_numpy = numpy is not None if use_numpy is None else use_numpy
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

    def reset(self, seed=None, options=None):
        """`seed` s seeds simulator i with s + i; a list gives one seed each. With
        options={"reset_mask": mask} only the slots the mask marks are reset; the others keep
        their episodes and give their last observation."""
        seeds = None
        if isinstance(seed, (list, tuple)) or getattr(seed, "ndim", 0) > 0:
            seed, seeds = None, [int(each) for each in seed]
        elif seed is not None:
            seed = int(seed)
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
                    raise ServerError(f"simulator {slot} of the vector: {result['error']}",
                                      kind=result.get("kind"))
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
            observations, rewards, terminated, truncated, infos = self._batch_packed(answer)
        else:
            observations, rewards, terminated, truncated, infos = self._batch_json(answer, env_ids)
        self._next_ids = env_ids
        infos = self._infos_of(infos)
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
                raise ServerError(f"simulator {answer.env_ids[row]} of the vector: "
                                  f"{failure['error']}", kind=failure["kind"])
        infos = answer.infos
        for row, failure in answer.failures.items():
            infos[row] = dict(failure)
        observations = _packed_assembled(self.single_observation_space, answer.observations)
        return (observations, *self._packed_outcomes(answer, infos), infos)

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
        self._release()

    def _step_packed(self, actions):
        answer = self._transport.step_vector(self._vector,
                                             *self._packed_actions(actions, self.num_envs))
        infos = self._take(answer)
        rewards, terminated, truncated = self._packed_outcomes(answer, infos)
        return self._observations(), rewards, terminated, truncated, self._infos_of(infos)

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
        """A packed step's rewards and flags, a failed row truncated with reward 0, and the
        final observations of the episodes autoreset ended put into their infos."""
        rewards, terminated, truncated = answer.rewards, answer.terminated, answer.truncated
        for row in answer.failures:
            rewards[row], terminated[row], truncated[row] = 0.0, False, True
        if answer.finals is not None:
            space = self.single_observation_space
            for row in numpy.flatnonzero(answer.final_mask):
                infos[row]["final_observation"] = _packed_row(space, answer.finals, row)
        return rewards, terminated, truncated

    def _reset_packed(self, answer):
        infos = self._take(answer)
        return self._observations(), self._infos_of(infos)

    def _take(self, answer):
        """Keeps the observations a packed answer holds, a slot without one keeping its last,
        and gives the infos, a failed slot's holding its error."""
        for slot, failure in answer.failures.items():
            if self._on_failure == "raise" or not self._seen[slot]:
                raise ServerError(f"simulator {slot} of the vector: {failure['error']}",
                                  kind=failure["kind"])
        rows = answer.answered
        if self._leaves is None or rows.all():
            self._leaves = {name: array.copy() for name, array in answer.observations.items()}
        else:
            # New arrays, so that observations handed out before stay as they were.
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
            raise ServerError(f"simulator {slot} of the vector: {result['error']}",
                              kind=result.get("kind"))
        return {"observation": self._last[slot], "reward": 0.0, "terminated": False,
                "truncated": True, "info": {"error": result["error"], "kind": result.get("kind")}}

    def _observations(self):
        if self._packed:
            return _packed_assembled(self.single_observation_space, self._leaves)
        return stacked(self._last, self.single_observation_space, self._use_numpy)

    def _infos_of(self, infos):
        space = self.single_observation_space
        # Packed final observations come as arrays already.
        for info in infos if not self._packed else ():
            if "final_observation" in info:
                info["final_observation"] = _as_arrays(info["final_observation"], space,
                                                       self._use_numpy)
        if self._infos == "list":
            return infos
        return gathered(infos, self._use_numpy)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
