"""The gRPC protocol over grpcio, with the messages protoc made from proto/sim.proto
(sim_pb2.py, kept beside this file and checked against the proto by the tests)."""
import json
import queue
import threading

import grpc

from . import sim_pb2
from .errors import KIND_OF_GRPC_CODE, ServerError, Unreachable
from .spaces import json_default

SERVICE = "/norva.sim.v1.Simulator/"
MESSAGE_LIMIT = 64 << 20


# A stream with this metadata owns what it steps: should it break (its client killed), the
# server closes them.
OWNER = ("norva-owner", "stream")


class GrpcTransport:
    # Vectors can be made packed.
    packs = True

    def __init__(self, host, port, token=None, timeout=30.0):
        self._address = f"{host}:{port}"
        self._timeout = timeout
        self._metadata = [("authorization", "Bearer " + token)] if token else []
        self._channel = grpc.insecure_channel(self._address, options=[
            ("grpc.max_receive_message_length", MESSAGE_LIMIT),
            ("grpc.max_send_message_length", MESSAGE_LIMIT)])
        self._streams = {}

    def __repr__(self):
        return f"GrpcTransport({self._address!r})"

    def _unary(self, name, request, reply_type):
        call = self._channel.unary_unary(SERVICE + name,
                                         request_serializer=type(request).SerializeToString,
                                         response_deserializer=reply_type.FromString)
        try:
            return call(request, timeout=self._timeout, metadata=self._metadata)
        except grpc.RpcError as error:
            raise self._failure(error) from None

    def _failure(self, error):
        code = error.code().name
        details = error.details() or ""
        if "http1" in details.lower() or "HTTP/1" in details:
            return Unreachable(f"the sim at {self._address} speaks HTTP/1.1, not gRPC (it was "
                               f"served with --protocol http): pass protocol='http'")
        if code in ("UNAVAILABLE", "CANCELLED"):
            return Unreachable(f"cannot reach the sim at {self._address} over gRPC: "
                               f"{error.details()}")
        if code == "DEADLINE_EXCEEDED" and "Deadline" in (error.details() or ""):
            return Unreachable(f"no answer from the sim at {self._address} within "
                               f"{self._timeout:g} s")
        return ServerError(error.details(), kind=KIND_OF_GRPC_CODE.get(code), code=code)

    def _json(self, name, request):
        return json.loads(self._unary(name, request, sim_pb2.JsonReply).json)

    def make(self, env_id, env_init):
        return self._unary("Make", sim_pb2.MakeRequest(
            env_id=env_id, env_init_json=json.dumps(env_init)), sim_pb2.MakeReply).session_id

    def space(self, session, which):
        name = "SensorSpace" if which == "sensor_space" else "ActionSpace"
        return self._json(name, sim_pb2.SessionRequest(session_id=session))

    def reset(self, session, seed, options):
        request = sim_pb2.ResetRequest(session_id=session)
        if seed is not None:
            request.seed = seed
        if options is not None:
            request.options_json = json.dumps(options)
        return self._json("Reset", request)

    def step(self, session, action):
        request = sim_pb2.StepRequest(session_id=session,
                                      action_json=json.dumps(action, default=json_default))
        return json.loads(self._stream(session, "StepStream", sim_pb2.StepRequest)
                          .exchange(request).json)

    def close(self, session):
        self._end_stream(session)
        self._unary("Close", sim_pb2.SessionRequest(session_id=session), sim_pb2.CloseReply)

    def _stream(self, key, method, request_type):
        stream = self._streams.get(key)
        if stream is None or stream.broken:
            stream = self._streams[key] = _Stream(self, method, request_type)
        return stream

    def _end_stream(self, key):
        stream = self._streams.pop(key, None)
        if stream is not None:
            stream.end()

    def make_vector(self, env_id, env_init, count, autoreset, packed=False, batch_size=0):
        made = self._unary("MakeVector", sim_pb2.MakeVectorRequest(
            env_id=env_id, env_init_json=json.dumps(env_init), num_envs=count,
            autoreset=autoreset, packed=packed, batch_size=batch_size), sim_pb2.MakeVectorReply)
        return made.vector_id, list(made.session_ids)

    @staticmethod
    def _answers(reply, step):
        from ._packed import answers_of
        return answers_of(reply, step)

    def reset_vector(self, vector, seed, seeds, options):
        request = sim_pb2.ResetVectorRequest(vector_id=vector)
        if seed is not None:
            request.seed = seed
        if seeds is not None:
            request.seeds.extend(seeds)
        if options is not None:
            request.options_json = json.dumps(options)
        return self._answers(self._unary("ResetVector", request, sim_pb2.JsonReply), False)

    def step_vector(self, vector, actions, tensor=None, env_ids=None):
        """`tensor`, instead of `actions`: the actions as one numpy array of N rows; `env_ids`,
        of a vector made with a batch_size: the environments they are for."""
        self.send_step_vector(vector, actions, tensor, env_ids)
        return self.receive_step_vector(vector)

    def send_step_vector(self, vector, actions, tensor=None, env_ids=None):
        """Sends a step without waiting for its answer: answers come in order."""
        request = sim_pb2.StepVectorRequest(vector_id=vector, env_ids=env_ids or ())
        if tensor is not None:
            from ._packed import tensor_message
            request.actions.CopyFrom(tensor_message(sim_pb2, tensor))
        else:
            request.actions_json = json.dumps(actions, default=json_default)
        self._stream(vector, "StepVector", sim_pb2.StepVectorRequest).send(request)

    def receive_step_vector(self, vector):
        return self._answers(self._stream(vector, "StepVector", sim_pb2.StepVectorRequest)
                             .receive(), True)

    def close_vector(self, vector):
        self._end_stream(vector)
        self._unary("CloseVector", sim_pb2.VectorRequest(vector_id=vector), sim_pb2.CloseReply)

    def shutdown(self):
        for stream in self._streams.values():
            stream.end()
        self._streams.clear()
        self._channel.close()


class _Stream:
    """One stream of steps (StepStream or StepVector) kept open for a session's or a vector's
    steps, owning them: requests in, their answers out in order, each answer held to the
    transport's time limit."""

    def __init__(self, transport, method, request_type):
        self._transport = transport
        self._requests = queue.SimpleQueue()
        call = transport._channel.stream_stream(
            SERVICE + method, request_serializer=request_type.SerializeToString,
            response_deserializer=sim_pb2.JsonReply.FromString)
        self._call = call(iter(self._requests.get, None),
                          metadata=[*transport._metadata, OWNER])
        # Answers are read on a thread of their own and waited for here with a time limit: a
        # call that grpcio fails to end (cancelled while its server went away, say) then holds
        # back nothing but that thread.
        self._replies = queue.SimpleQueue()
        # A failed request ends the stream on the server; the next step opens another.
        self.broken = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            for reply in self._call:
                self._replies.put(reply)
            self._replies.put(StopIteration())
        except grpc.RpcError as error:
            self._replies.put(error)

    def exchange(self, request):
        self.send(request)
        return self.receive()

    def send(self, request):
        self._requests.put(request)

    def receive(self):
        """The answer to the first request sent and not yet answered."""
        try:
            reply = self._replies.get(timeout=self._transport._timeout)
        except queue.Empty:
            self.end()
            self._call.cancel()
            raise Unreachable(f"no answer from the sim at {self._transport._address} within "
                              f"{self._transport._timeout:g} s") from None
        if isinstance(reply, StopIteration):
            self.end()
            raise Unreachable("the sim ended the stream of steps")
        if isinstance(reply, grpc.RpcError):
            self.end()
            raise self._transport._failure(reply) from None
        return reply

    def end(self):
        """Ends the stream as a client that is done ends it: the server then keeps what it
        stepped, for the client to close; only a stream that breaks gives them up."""
        self.broken = True
        self._requests.put(None)
