"""The HTTP protocol over the standard library's http.client, on one kept-alive connection."""
import http.client
import json
import socket

from ._results import results_of
from .errors import ServerError, Unreachable
from .spaces import json_default


# What a request with this header makes belongs to its connection: should the connection break
# (its client killed), the server closes it.
OWNER = {"Norva-Owner": "connection"}


PROTOBUF = "application/x-protobuf"


def _messages():
    """The protocol's messages, when protobuf is there: packed vectors take them as bodies."""
    try:
        from . import sim_pb2
        return sim_pb2
    except ImportError:
        return None


class HttpTransport:
    def __init__(self, host, port, token=None, timeout=30.0):
        self._host, self._port, self._timeout = host, port, timeout
        self._headers = {"Content-Type": "application/json"}
        if token:
            self._headers["Authorization"] = "Bearer " + token
        self._connection = None
        self._packed = set()
        # Steps sent and not yet answered, by vector.
        self._sent = {}

    @property
    def packs(self):
        """Vectors can be made packed: their answers come as protobuf messages."""
        return _messages() is not None

    def __repr__(self):
        return f"HttpTransport('{self._host}:{self._port}')"

    def _call(self, method, path, body=None, owned=False):
        text = None if body is None else json.dumps(body, default=json_default)
        headers = {**self._headers, **OWNER} if owned else self._headers
        return self._answer(method, path, *self._exchange(method, path, text, headers))

    def _exchange(self, method, path, data, headers):
        """Sends one request; its answer's status, type and bytes."""
        if self._connection is None:
            self._connection = http.client.HTTPConnection(self._host, self._port,
                                                          timeout=self._timeout)
        try:
            self._connection.request(method, path, data, headers)
            answer = self._connection.getresponse()
            return answer.status, answer.getheader("Content-Type", ""), answer.read()
        except (OSError, http.client.HTTPException) as error:
            self.shutdown()
            if isinstance(error, http.client.BadStatusLine) and str(error).startswith("\x00"):
                raise Unreachable(
                    f"the sim at {self._host}:{self._port} answers in HTTP/2, as a gRPC server "
                    f"does (norva sim run serves gRPC unless given --protocol http): pass "
                    f"protocol='grpc'") from None
            reason = "no answer in time" if isinstance(error, socket.timeout) else str(error)
            raise Unreachable(f"cannot reach the sim at {self._host}:{self._port} over HTTP: "
                              f"{reason or type(error).__name__}") from None

    @staticmethod
    def _answer(method, path, status, _, text):
        try:
            reply = json.loads(text)
        except ValueError:
            raise ServerError(f"the answer to {method} {path} is not JSON (HTTP {status})",
                              status=status) from None
        if status != 200:
            raise ServerError(reply.get("error", text.decode(errors="replace")),
                              kind=reply.get("kind"), status=status)
        return reply

    def _vector_call(self, path, step, body=None, message=None):
        """A packed vector's reset or step: the request as JSON or as a message, its answer
        asked for as a message."""
        headers = {**self._headers, "Accept": PROTOBUF}
        if message is not None:
            headers["Content-Type"] = PROTOBUF
            data = message.SerializeToString()
        else:
            data = json.dumps(body, default=json_default)
        status, kind, data = self._exchange("POST", path, data, headers)
        if status != 200 or not kind.startswith(PROTOBUF):
            return results_of(self._answer("POST", path, status, kind, data))
        from ._packed import answers_of
        return answers_of(_messages().JsonReply.FromString(data), step)

    def make(self, env_id, env_init):
        return self._call("POST", "/v1/sessions", {"env_id": env_id, "env_init": env_init},
                          owned=True)["session_id"]

    def space(self, session, which):
        return self._call("GET", f"/v1/sessions/{session}/{which}")

    def reset(self, session, seed, options):
        return self._call("POST", f"/v1/sessions/{session}/reset", _reset_body(seed, options))

    def step(self, session, action):
        return self._call("POST", f"/v1/sessions/{session}/step", {"action": action})

    def close(self, session):
        self._call("DELETE", f"/v1/sessions/{session}")

    def make_vector(self, env_id, env_init, count, autoreset, packed=False, batch_size=0):
        body = {"env_id": env_id, "env_init": env_init, "num_envs": count, "autoreset": autoreset}
        if packed:
            body["packed"] = True
        if batch_size:
            body["batch_size"] = batch_size
        made = self._call("POST", "/v1/vectors", body, owned=True)
        if packed:
            self._packed.add(made["vector_id"])
        return made["vector_id"], made["session_ids"]

    def reset_vector(self, vector, seed, seeds, options):
        body = _reset_body(seed, options)
        if seeds is not None:
            body["seeds"] = list(seeds)
        if vector in self._packed:
            return self._vector_call(f"/v1/vectors/{vector}/reset", False, body)
        return self._call("POST", f"/v1/vectors/{vector}/reset", body)["results"]

    def step_vector(self, vector, actions, tensor=None, env_ids=None):
        """`tensor`, instead of `actions`: the actions as one numpy array of N rows; `env_ids`,
        of a vector made with a batch_size: the environments they are for."""
        path = f"/v1/vectors/{vector}/step"
        if tensor is not None:
            from ._packed import tensor_message
            messages = _messages()
            request = messages.StepVectorRequest(vector_id=vector, env_ids=env_ids or (),
                                                 actions=tensor_message(messages, tensor))
            return self._vector_call(path, True, message=request)
        body = {"actions": actions}
        if env_ids:
            body["env_ids"] = list(env_ids)
        if vector in self._packed:
            return self._vector_call(path, True, body)
        return results_of(self._call("POST", path, body))

    def send_step_vector(self, vector, actions, tensor=None, env_ids=None):
        """One request waits on the connection at a time: the step is sent when its answer is
        asked for."""
        self._sent.setdefault(vector, []).append((actions, tensor, env_ids))

    def receive_step_vector(self, vector):
        return self.step_vector(vector, *self._sent[vector].pop(0))

    def close_vector(self, vector):
        self._packed.discard(vector)
        self._sent.pop(vector, None)
        self._call("DELETE", f"/v1/vectors/{vector}")

    def shutdown(self):
        if self._connection is not None:
            self._connection.close()
            self._connection = None


def _reset_body(seed, options):
    body = {}
    if seed is not None:
        body["seed"] = seed
    if options is not None:
        body["options"] = options
    return body
