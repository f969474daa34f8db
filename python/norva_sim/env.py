"""Environments over a served sim with Gymnasium's signatures: one session (Env) or a vector of
them stepped together (VectorEnv)."""
import weakref

from ._token import token_of
from .errors import NorvaError, ServerError
from .spaces import Space, batched

try:
    import numpy
except ImportError:
    numpy = None


def _address_of(address):
    host, _, port = address.rpartition(":")
    if not host or not port.isdigit():
        raise ValueError(f"an address is host:port, not {address!r}")
    return host, int(port)


def _transport(address, protocol, token, token_file, timeout):
    host, port = _address_of(address)
    token = token_of(token, token_file)
    if protocol == "http":
        from ._http import HttpTransport
        return HttpTransport(host, port, token, timeout)
    if protocol == "grpc":
        try:
            from ._grpc import GrpcTransport
        except ImportError as missing:
            raise NorvaError(
                f"protocol='grpc' needs grpcio and protobuf ({missing.name} is not installed; "
                f"on Debian: apt install python3-grpcio python3-protobuf); protocol='http' needs "
                f"nothing beyond Python's standard library") from None
        return GrpcTransport(host, port, token, timeout)
    raise ValueError(f"the protocol is 'grpc' or 'http', not {protocol!r}")


def _release(transport, close, handle):
    """Closes what a client object held and lets its connection go: at close(), when the object
    is collected, or at the interpreter's exit, whichever comes first."""
    try:
        if handle is not None:
            close(transport, handle)
    except Exception:
        pass
    finally:
        transport.shutdown()


def _as_arrays(value, space, use_numpy):
    """A box's values as a numpy array when numpy is wanted and there; the rest as they came."""
    if not use_numpy:
        return value
    if space.type == "box":
        return numpy.asarray(value, dtype=space.dtype)
    if space.type == "dict" and isinstance(value, dict):
        return {key: _as_arrays(value[key], item, use_numpy) if key in value else None
                for key, item in space.spaces.items()}
    if space.type == "tuple" and isinstance(value, list):
        return tuple(_as_arrays(item, sub, use_numpy) for item, sub in zip(value, space.spaces))
    return value


def _stacked(values, space, use_numpy):
    """N observations as one: a box's as one array with N rows, a dict's key by key."""
    if not use_numpy:
        return values
    if space.type == "box":
        return numpy.asarray(values, dtype=space.dtype)
    if space.type == "dict":
        return {key: _stacked([value[key] for value in values], item, use_numpy)
                for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(_stacked([value[i] for value in values], item, use_numpy)
                     for i, item in enumerate(space.spaces))
    if space.type == "discrete":
        return numpy.asarray(values, dtype=numpy.int64)
    return numpy.asarray(values)


def _gathered(infos, use_numpy):
    """N infos as Gymnasium gives a vector's: one entry per key holding N values, and beside it
    "_key", a mask of the slots that have it. A dict is gathered key by key; numbers and flags
    become arrays of their kind, anything else an array of objects (lists without numpy)."""
    keys = {}
    for info in infos:
        if info:
            keys.update(dict.fromkeys(info))
    gathered = {}
    for key in keys:
        mask = [key in info for info in infos]
        values = [info.get(key) for info in infos]
        present = [value for value in values if value is not None]
        if present and all(isinstance(value, dict) for value in present):
            gathered[key] = _gathered([value or {} for value in values], use_numpy)
        elif not use_numpy:
            gathered[key] = values
        elif present and all(isinstance(value, bool) for value in present):
            gathered[key] = numpy.asarray([bool(value) for value in values])
        elif present and all(isinstance(value, (int, float)) and not isinstance(value, bool)
                             for value in present):
            kind = int if all(isinstance(value, int) for value in present) else float
            gathered[key] = numpy.asarray([value if value is not None else 0 for value in values],
                                          dtype=kind)
        else:
            column = numpy.empty(len(values), dtype=object)
            column[:] = values
            gathered[key] = column
        gathered["_" + key] = numpy.asarray(mask) if use_numpy else mask
    return gathered


def _packed_assembled(space, leaves):
    from ._packed import assembled
    return assembled(space, leaves)


def _packed_row(space, leaves, row):
    from ._packed import row_of
    return row_of(space, leaves, row)


class Env:
    """One session of a served sim, with Gymnasium's environment signatures.

        with Env("127.0.0.1:1337", "thermo") as env:
            observation, info = env.reset(seed=3)

    starts a session (and its simulator process on the server); close(), leaving the `with`
    block, collecting the object or the interpreter's exit ends it, and a client killed outside
    all of those leaves nothing either: the connection or stream that made the session owns it.
    `protocol` is "grpc" (the default, as `norva sim run` serves) or "http"; `token` (or
    `token_file`, else NORVA_SIM_TOKEN) is the server's token, never shown in a message.
    """

    def __init__(self, address, env_id="", env_init=None, protocol="grpc", token=None,
                 token_file=None, timeout=30.0, use_numpy=None):
        self._use_numpy = numpy is not None if use_numpy is None else use_numpy
        self._transport = _transport(address, protocol, token, token_file, timeout)
        self._session = None
        self._release = weakref.finalize(self, _release, self._transport, None, None)
        try:
            self._session = self._transport.make(env_id, env_init or {})
            self._release.detach()
            self._release = weakref.finalize(self, _release, self._transport,
                                             type(self._transport).close, self._session)
            self.observation_space = Space(self._transport.space(self._session, "sensor_space"))
            self.action_space = Space(self._transport.space(self._session, "action_space"))
        except BaseException:
            self.close()
            raise

    @property
    def session_id(self):
        return self._session

    def reset(self, seed=None, options=None):
        result = self._transport.reset(self._session, None if seed is None else int(seed),
                                       options)
        return self._observation(result), result.get("info", {})

    def step(self, action):
        result = self._transport.step(self._session, action)
        return (self._observation(result), result["reward"], result["terminated"],
                result["truncated"], result.get("info", {}))

    def close(self):
        """Ends the session; closing twice, or after the server went, is harmless."""
        self._session = None
        self._release()

    def _observation(self, result):
        return _as_arrays(result["observation"], self.observation_space, self._use_numpy)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


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
            return super().__new__(_SpreadVectorEnv)
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
        observations = _stacked([row["observation"] for row in rows],
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
        return _stacked(self._last, self.single_observation_space, self._use_numpy)

    def _infos_of(self, infos):
        space = self.single_observation_space
        # Packed final observations come as arrays already.
        for info in infos if not self._packed else ():
            if "final_observation" in info:
                info["final_observation"] = _as_arrays(info["final_observation"], space,
                                                       self._use_numpy)
        if self._infos == "list":
            return infos
        return _gathered(infos, self._use_numpy)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class _SpreadVectorEnv(VectorEnv):
    """A VectorEnv over several servers (see VectorEnv)."""

    def __init__(self, addresses, num_envs, env_id="", env_init=None, protocol="grpc",
                 autoreset="same-step", token=None, token_file=None, timeout=30.0,
                 use_numpy=None, infos="dict", on_failure="truncate", packed=True,
                 batch_size=None):
        from .spread import Spread
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
        from .spread import spread_reset
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
        from .spread import concatenated, joined
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
        gathered = infos if self._infos == "list" else _gathered(infos, self._use_numpy)
        if pick is not None:
            return concatenated(space, observations, self._use_numpy), None, gathered
        return (concatenated(space, observations, self._use_numpy),
                joined(rewards, self._use_numpy), joined(terminated, self._use_numpy),
                joined(truncated, self._use_numpy), gathered)

    def close(self):
        spread = getattr(self, "_spread", None)
        if spread is not None:
            spread.close()
