"""The HTTP protocol over the standard library's http.client, on one kept-alive connection."""
import http.client
import json
import socket

from .errors import ServerError, Unreachable
from .spaces import json_default


# What a request with this header makes belongs to its connection: should the connection break
# (its client killed), the server closes it.
OWNER = {"Norva-Owner": "connection"}


class HttpTransport:
    def __init__(self, host, port, token=None, timeout=30.0):
        self._host, self._port, self._timeout = host, port, timeout
        self._headers = {"Content-Type": "application/json"}
        if token:
            self._headers["Authorization"] = "Bearer " + token
        self._connection = None

    def __repr__(self):
        return f"HttpTransport('{self._host}:{self._port}')"

    def _call(self, method, path, body=None, owned=False):
        if self._connection is None:
            self._connection = http.client.HTTPConnection(self._host, self._port,
                                                          timeout=self._timeout)
        try:
            text = None if body is None else json.dumps(body, default=json_default)
            headers = {**self._headers, **OWNER} if owned else self._headers
            self._connection.request(method, path, text, headers)
            answer = self._connection.getresponse()
            text = answer.read()
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
        try:
            reply = json.loads(text)
        except ValueError:
            raise ServerError(f"the answer to {method} {path} is not JSON (HTTP {answer.status})",
                              status=answer.status) from None
        if answer.status != 200:
            raise ServerError(reply.get("error", text.decode(errors="replace")),
                              kind=reply.get("kind"), status=answer.status)
        return reply

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

    def make_vector(self, env_id, env_init, count, autoreset, packed=False):
        made = self._call("POST", "/v1/vectors", {"env_id": env_id, "env_init": env_init,
                                                  "num_envs": count, "autoreset": autoreset},
                          owned=True)
        return made["vector_id"], made["session_ids"]

    def reset_vector(self, vector, seed, seeds, options):
        body = _reset_body(seed, options)
        if seeds is not None:
            body["seeds"] = list(seeds)
        return self._call("POST", f"/v1/vectors/{vector}/reset", body)["results"]

    def step_vector(self, vector, actions):
        return self._call("POST", f"/v1/vectors/{vector}/step", {"actions": actions})["results"]

    def close_vector(self, vector):
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
