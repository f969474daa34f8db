"""One session of a served sim with Gymnasium's signatures (Env), and what the client's
environments share: the transport of an address and the release of what they hold."""
import weakref

from ._token import token_of
from .errors import NorvaError
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
