"""The worker protocol for simulator authors: run(make_env) answers norva's requests on stdin and
stdout for environments with Gymnasium's signatures, one environment a process or many
(docs/protocol.md).

    import norva_sim.worker

    class Thermostat:
        observation_space = {"type": "box", "low": 0, "high": 40, "shape": [1]}
        action_space = {"type": "discrete", "n": 3}
        def reset(self, seed=None, options=None): ...
        def step(self, action): ...

    norva_sim.worker.run(lambda env_id, env_init: Thermostat())

A space may be its JSON form or any object with Gymnasium's attributes; numpy values become
JSON. An exception in one environment's step or reset, or an answer of it that JSON cannot hold
(a set in its info, say), is that environment's error answer alone, never the end of the process
nor the others' loss; a request that cannot be read is an error answer too.
"""
import json
import sys


def space_json(space):
    """A space's JSON form, from that form itself or from an object with Gymnasium's
    attributes (a Box's low, high, shape and dtype; a Discrete's n and start; ...)."""
    if isinstance(space, dict):
        return space
    if hasattr(space, "description") and isinstance(space.description, dict):
        return space.description
    kind = type(space).__name__
    if kind == "Box" or (hasattr(space, "low") and hasattr(space, "high")):
        return {"type": "box", "low": _plain(space.low), "high": _plain(space.high),
                "shape": list(space.shape), "dtype": str(getattr(space, "dtype", "float32"))}
    if kind == "Discrete" or (hasattr(space, "n") and hasattr(space, "start")):
        described = {"type": "discrete", "n": int(space.n)}
        start = int(getattr(space, "start", 0))
        if start:
            described["start"] = start
        return described
    if kind == "MultiDiscrete" or hasattr(space, "nvec"):
        return {"type": "multi_discrete", "nvec": _plain(space.nvec)}
    if kind == "MultiBinary":
        return {"type": "multi_binary", "n": _plain(space.n)}
    if kind == "Dict" or isinstance(getattr(space, "spaces", None), dict):
        return {"type": "dict", "spaces": {key: space_json(item)
                                           for key, item in space.spaces.items()}}
    if kind == "Tuple" or isinstance(getattr(space, "spaces", None), (list, tuple)):
        return {"type": "tuple", "spaces": [space_json(item) for item in space.spaces]}
    raise TypeError(f"{kind} is not a space norva knows (box, discrete, multi-discrete, "
                    f"multi-binary, dict, tuple)")


def _plain(value):
    """Numpy arrays and numbers as JSON's lists and numbers; tuples as lists."""
    if hasattr(value, "tolist"):
        return value.tolist()
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    if isinstance(value, dict):
        return {str(key): _plain(item) for key, item in value.items()}
    return value


def _json_default(value):
    if hasattr(value, "tolist"):
        return value.tolist()
    raise TypeError(f"{type(value).__name__} cannot be written as JSON")


class _Worker:
    def __init__(self, make_env):
        self._make_env = make_env
        self._envs = []
        self._batched = False

    def answer(self, request):
        op = request.get("op")
        if op == "make":
            count = request.get("instances")
            self._batched = count is not None
            count = 1 if count is None else count
            if not isinstance(count, int) or isinstance(count, bool) or not 1 <= count <= 1024:
                raise ValueError(f"'instances' is a whole number from 1 to 1024, not {count!r}")
            self._close_envs()
            self._envs = [self._make_env(request.get("env_id", ""), request.get("env_init") or {})
                          for _ in range(count)]
            return {}
        if op in ("sensor_space", "action_space"):
            env = self._env(0)
            return space_json(env.observation_space if op == "sensor_space"
                              else env.action_space)
        if op == "reset":
            return self._reset(request)
        if op == "step":
            return self._step(request)
        if op == "close":
            self._close_envs()
            return {}
        raise ValueError(f"unknown op {op!r}")

    def _env(self, index):
        if not self._envs:
            raise ValueError("no environment yet: 'make' comes first")
        return self._envs[index]

    def _instances(self, request):
        """The environments a batched request lists, or all of them."""
        instances = request.get("instances")
        if instances is None:
            return list(range(len(self._envs)))
        if not isinstance(instances, list):
            raise ValueError("'instances' is a list of the environments' places")
        for index in instances:
            if not isinstance(index, int) or isinstance(index, bool) or \
                    not 0 <= index < len(self._envs):
                raise ValueError(f"no instance {index!r}; this process holds "
                                 f"{len(self._envs)}")
        return instances

    def _reset(self, request):
        if not self._batched:
            return self._reset_one(0, request.get("seed"), request.get("options"))
        instances = self._instances(request)
        seeds = request.get("seeds") or [None] * len(instances)
        if len(seeds) != len(instances):
            raise ValueError(f"{len(seeds)} seeds for {len(instances)} instances")
        return _Results([_guarded(self._reset_one, index, seed, request.get("options"))
                         for index, seed in zip(instances, seeds)])

    def _reset_one(self, index, seed, options):
        observation, info = self._env(index).reset(seed=seed, options=options)
        # Values are written as they are: json writes what it knows, _json_default the rest.
        return {"observation": observation, "info": info or {}}

    def _step(self, request):
        if not self._batched:
            return self._step_one(0, request.get("action"))
        instances = self._instances(request)
        actions = request.get("actions")
        if not isinstance(actions, list) or len(actions) != len(instances):
            raise ValueError(f"'actions' must hold one action for each of the "
                             f"{len(instances)} instances")
        return _Results([_guarded(self._step_one, index, action)
                         for index, action in zip(instances, actions)])

    def _step_one(self, index, action):
        observation, reward, terminated, truncated, info = self._env(index).step(action)
        reward = float(reward)
        return {"observation": observation, "reward": reward,
                "terminated": bool(terminated), "truncated": bool(truncated),
                "info": info or {}}

    def _close_envs(self):
        for env in self._envs:
            close = getattr(env, "close", None)
            if close is not None:
                try:
                    close()
                except Exception:
                    pass
        self._envs = []


class _Results(list):
    """A batched answer: each environment's result or error, each written on its own."""


def _written(answer):
    try:
        return json.dumps(answer, default=_json_default)
    except TypeError:
        # Keys json cannot write (numpy integers, say): everything made plain first.
        return json.dumps(_plain(answer), default=_json_default)


def _guarded(call, *arguments):
    """One environment's part of a batched answer, as JSON text: its result, or its error when
    it raised or answered what JSON cannot hold, so that no environment's fault is another's."""
    try:
        result = call(*arguments)
    except Exception as error:
        return json.dumps({"error": _described(error)})
    try:
        return _written(result)
    except Exception as error:
        return json.dumps({"error": _unwritable(error)})


def _line(request_id, answer):
    """The answer's line, without its end."""
    if "result" in answer and isinstance(answer["result"], _Results):
        return (f'{{"id": {json.dumps(request_id)}, "result": {{"results": ['
                f'{", ".join(answer["result"])}]}}}}')
    try:
        return _written(answer)
    except Exception as error:
        return json.dumps({"id": request_id, "error": _unwritable(error)})


def _described(error):
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


def _unwritable(error):
    return f"the answer cannot be written as JSON: {_described(error)}"


def run(make_env, source=None, sink=None):
    """Answers the worker protocol on stdin and stdout until 'close' or the end of input.
    `make_env(env_id, env_init)` makes one environment; a batched make calls it once for each."""
    source = source or sys.stdin
    sink = sink or sys.stdout
    worker = _Worker(make_env)
    for line in source:
        if not line.strip():
            continue
        request_id = None
        try:
            request = json.loads(line)
            if not isinstance(request, dict):
                raise ValueError("a request is a JSON object")
            request_id = request.get("id")
            answer = {"id": request_id, "result": worker.answer(request)}
        except Exception as error:
            answer = {"id": request_id, "error": _described(error)}
        sink.write(_line(request_id, answer) + "\n")
        sink.flush()
        if answer.get("result") is not None and request.get("op") == "close":
            return


__all__ = ["run", "space_json"]
