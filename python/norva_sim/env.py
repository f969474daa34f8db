"""Environments over a served sim with Gymnasium's signatures: one session (Env) or a vector of
them stepped together (VectorEnv)."""
from .errors import ServerError
from .spaces import Space

try:
    import numpy
except ImportError:
    numpy = None


def _address_of(address):
    host, _, port = address.rpartition(":")
    if not host or not port.isdigit():
        raise ValueError(f"an address is host:port, not {address!r}")
    return host, int(port)


def _transport(address, protocol, token, timeout):
    host, port = _address_of(address)
    if protocol == "http":
        from ._http import HttpTransport
        return HttpTransport(host, port, token, timeout)
    if protocol == "grpc":
        from ._grpc import GrpcTransport
        return GrpcTransport(host, port, token, timeout)
    raise ValueError(f"the protocol is 'http' or 'grpc', not {protocol!r}")


def _as_arrays(value, space, use_numpy):
    """A box's values as a numpy array when numpy is wanted and there; the rest as they came."""
    if not use_numpy:
        return value
    if space.type == "box":
        return numpy.asarray(value, dtype=space.description.get("dtype", "float32"))
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
        return numpy.asarray(values, dtype=space.description.get("dtype", "float32"))
    if space.type == "dict":
        return {key: _stacked([value[key] for value in values], item, use_numpy)
                for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(_stacked([value[i] for value in values], item, use_numpy)
                     for i, item in enumerate(space.spaces))
    if space.type == "discrete":
        return numpy.asarray(values, dtype=numpy.int64)
    return numpy.asarray(values)


class Env:
    """One session of a served sim, with Gymnasium's environment signatures.

    make("127.0.0.1:1337", "thermo", protocol="grpc") starts a session (and its simulator
    process on the server); close() or leaving a `with` block ends it.
    """

    def __init__(self, address, env_id="", env_init=None, protocol="http", token=None,
                 timeout=30.0, use_numpy=None):
        self._use_numpy = numpy is not None if use_numpy is None else use_numpy
        self._transport = _transport(address, protocol, token, timeout)
        self._session = None
        try:
            self._session = self._transport.make(env_id, env_init or {})
            self.observation_space = Space(self._transport.space(self._session, "sensor_space"))
            self.action_space = Space(self._transport.space(self._session, "action_space"))
        except BaseException:
            self.close()
            raise

    @property
    def session_id(self):
        return self._session

    def reset(self, seed=None, options=None):
        result = self._transport.reset(self._session, seed, options)
        return self._observation(result), result.get("info", {})

    def step(self, action):
        result = self._transport.step(self._session, action)
        return (self._observation(result), result["reward"], result["terminated"],
                result["truncated"], result.get("info", {}))

    def close(self):
        """Ends the session; closing twice, or after the server went, is harmless."""
        session, self._session = self._session, None
        try:
            if session is not None:
                self._transport.close(session)
        except Exception:
            pass
        finally:
            self._transport.shutdown()

    def _observation(self, result):
        return _as_arrays(result["observation"], self.observation_space, self._use_numpy)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class VectorEnv:
    """N sessions of a served sim stepped together in one call, with Gymnasium's vector
    signatures. Autoreset is the server's: a simulator whose step ends its episode is reset in
    the same call, its observation is the new episode's first, and its info holds
    "final_observation" and "final_info" (Gymnasium's same-step mode). Infos are a list of N
    dicts."""

    def __init__(self, address, num_envs, env_id="", env_init=None, protocol="http",
                 autoreset=True, token=None, timeout=30.0, use_numpy=None):
        self._use_numpy = numpy is not None if use_numpy is None else use_numpy
        self._transport = _transport(address, protocol, token, timeout)
        self._vector = None
        try:
            self._vector, self.session_ids = self._transport.make_vector(
                env_id, env_init or {}, num_envs, autoreset)
            self.num_envs = num_envs
            first = self.session_ids[0]
            self.single_observation_space = Space(self._transport.space(first, "sensor_space"))
            self.single_action_space = Space(self._transport.space(first, "action_space"))
        except BaseException:
            self.close()
            raise

    def reset(self, seed=None, options=None):
        """`seed` s seeds simulator i with s + i; a list gives one seed each."""
        seeds = None
        if isinstance(seed, (list, tuple)):
            seed, seeds = None, [int(each) for each in seed]
        results = self._checked(self._transport.reset_vector(self._vector, seed, seeds, options))
        return self._observations(results), [result.get("info", {}) for result in results]

    def step(self, actions):
        results = self._checked(self._transport.step_vector(
            self._vector, actions.tolist() if hasattr(actions, "tolist") else list(actions)))
        rewards = [result["reward"] for result in results]
        terminations = [result["terminated"] for result in results]
        truncations = [result["truncated"] for result in results]
        if self._use_numpy:
            rewards = numpy.asarray(rewards, dtype=numpy.float64)
            terminations = numpy.asarray(terminations, dtype=bool)
            truncations = numpy.asarray(truncations, dtype=bool)
        return (self._observations(results), rewards, terminations, truncations,
                [result.get("info", {}) for result in results])

    def close(self):
        vector, self._vector = self._vector, None
        try:
            if vector is not None:
                self._transport.close_vector(vector)
        except Exception:
            pass
        finally:
            self._transport.shutdown()

    def _observations(self, results):
        return _stacked([result["observation"] for result in results],
                        self.single_observation_space, self._use_numpy)

    @staticmethod
    def _checked(results):
        for slot, result in enumerate(results):
            if "error" in result and "observation" not in result:
                raise ServerError(f"simulator {slot} of the vector: {result['error']}",
                                  kind=result.get("kind"))
        return results

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
