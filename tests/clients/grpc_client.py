"""Drives `norva sim run` over gRPC with grpcio, as a trainer would: the messages are made by
protoc from the project's proto for Python's protobuf runtime, the calls by grpcio alone.

usage: grpc_client.py PROTO_FILE PORT MODE [ARGS]; prints one JSON object with what it saw.
  vector COUNT STEPS  a vector of COUNT: seeded reset, STEPS steps over one StepVector stream,
                      a wrong number of actions, close
  actions             actions of the wrong structure and one outside the box to a session,
                      then a good step
  token               Make without the token, with a wrong one, then with SIM_TOKEN's as the
                      "authorization" metadata (also with a lowercase scheme, and twice), and Close
  longid              a vector stepped over a StepVector stream while another channel to the
                      same address closes a vector whose id is a megabyte with a NUL in it
  tensors             a packed vector's steps whose actions tensor has a 10 KB name with an ESC
                      in it, a shape of 5,000 dimensions, and JSON actions with 1e400
  unreadable          StepVector and StepStream streams carrying a good step, then bytes that
                      are no message or a message cut short, then another good step; then the
                      vector steps on over a new stream
  health PROGRAM      the standard health service without the token: Check and a Watch while
                      healthy, then PROGRAM moved away so that three Makes (with SIM_TOKEN's
                      token) cannot start it, Check and the Watch's next message, and Check of
                      another service; PROGRAM is put back
"""
import json
import os
import queue
import subprocess
import sys
import tempfile

import grpc

SERVICE = "/norva.sim.v1.Simulator/"


def load_messages(proto_file):
    folder = tempfile.mkdtemp()
    subprocess.run(["protoc", f"--proto_path={os.path.dirname(proto_file)}",
                    f"--python_out={folder}", proto_file], check=True)
    sys.path.insert(0, folder)
    import sim_pb2
    return sim_pb2


def unary(channel, name, request, reply_type, metadata=None):
    call = channel.unary_unary(SERVICE + name, request_serializer=type(request).SerializeToString,
                               response_deserializer=reply_type.FromString)
    return call(request, timeout=30, metadata=metadata)


def vector(channel, messages, count, steps):
    made = unary(channel, "MakeVector",
                 messages.MakeVectorRequest(env_id="grpcio", num_envs=count), messages.MakeVectorReply)
    reset = unary(channel, "ResetVector", messages.ResetVectorRequest(
        vector_id=made.vector_id, seeds=list(range(5, 5 + count))), messages.JsonReply)
    stream = channel.stream_stream(SERVICE + "StepVector",
                                   request_serializer=messages.StepVectorRequest.SerializeToString,
                                   response_deserializer=messages.JsonReply.FromString)
    actions = json.dumps([[0.5, 0.0]] * count)
    requests = (messages.StepVectorRequest(vector_id=made.vector_id, actions_json=actions)
                for _ in range(steps))
    answers = [json.loads(reply.json)["results"] for reply in stream(iter(requests), timeout=60)]
    wrong = None
    try:
        list(stream(iter([messages.StepVectorRequest(vector_id=made.vector_id,
                                                     actions_json="[]")]), timeout=30))
    except grpc.RpcError as error:
        wrong = {"code": error.code().name, "details": error.details()}
    unary(channel, "CloseVector", messages.VectorRequest(vector_id=made.vector_id),
          messages.CloseReply)
    return {"sessions": list(made.session_ids), "reset": json.loads(reset.json)["results"],
            "steps": answers, "wrong": wrong}


def actions(channel, messages):
    made = unary(channel, "Make", messages.MakeRequest(env_id="grpcio"), messages.MakeReply)
    unary(channel, "Reset", messages.ResetRequest(session_id=made.session_id, seed=3),
          messages.JsonReply)

    def step(action):
        return unary(channel, "Step", messages.StepRequest(session_id=made.session_id,
                                                           action_json=json.dumps(action)),
                     messages.JsonReply)

    refused = []
    for action in ([0.5], "x", [float("nan"), 0.0]):
        try:
            step(action)
            refused.append(None)
        except grpc.RpcError as error:
            refused.append({"code": error.code().name, "details": error.details()})
    outside = json.loads(step([5.0, 0.0]).json)
    after = json.loads(step([0.25, 0.25]).json)
    unary(channel, "Close", messages.SessionRequest(session_id=made.session_id),
          messages.CloseReply)
    return {"refused": refused, "outside": outside["observation"], "after": after["observation"]}


def token(channel, messages):
    def make(metadata):
        try:
            made = unary(channel, "Make", messages.MakeRequest(env_id="grpcio"), messages.MakeReply,
                         metadata)
            unary(channel, "Close", messages.SessionRequest(session_id=made.session_id),
                  messages.CloseReply, metadata)
            return "made"
        except grpc.RpcError as error:
            return {"code": error.code().name, "details": error.details()}

    right = os.environ["SIM_TOKEN"]
    return {"missing": make(None), "wrong": make([("authorization", "Bearer wrong")]),
            "right": make([("authorization", "Bearer " + right)]),
            "lowercase": make([("authorization", "bearer " + right)]),
            "twice": make([("authorization", "Bearer " + right),
                           ("authorization", "Bearer " + right)])}


def longid(channel, messages, port):
    made = unary(channel, "MakeVector", messages.MakeVectorRequest(env_id="grpcio", num_envs=2),
                 messages.MakeVectorReply)
    unary(channel, "ResetVector", messages.ResetVectorRequest(vector_id=made.vector_id),
          messages.JsonReply)
    requests = queue.SimpleQueue()
    stream = channel.stream_stream(SERVICE + "StepVector",
                                   request_serializer=messages.StepVectorRequest.SerializeToString,
                                   response_deserializer=messages.JsonReply.FromString)
    answers = stream(iter(requests.get, None), timeout=60)
    step = messages.StepVectorRequest(vector_id=made.vector_id,
                                      actions_json=json.dumps([[0.1, 0.0]] * 2))
    requests.put(step)
    before = json.loads(next(answers).json)["results"]
    # grpcio shares one connection between the channels to one address.
    with grpc.insecure_channel(f"127.0.0.1:{port}") as other:
        try:
            unary(other, "CloseVector", messages.VectorRequest(vector_id="a\0" + "x" * (1 << 20)),
                  messages.CloseReply)
            refused = None
        except grpc.RpcError as error:
            refused = {"code": error.code().name, "details": error.details()}
    requests.put(step)
    after = json.loads(next(answers).json)["results"]
    requests.put(None)
    list(answers)
    unary(channel, "CloseVector", messages.VectorRequest(vector_id=made.vector_id),
          messages.CloseReply)
    return {"before": before, "refused": refused, "after": after}


def tensors(channel, messages):
    """The details of each refused step."""
    made = unary(channel, "MakeVector", messages.MakeVectorRequest(env_id="grpcio", num_envs=2,
                                                                   packed=True),
                 messages.MakeVectorReply)
    unary(channel, "ResetVector", messages.ResetVectorRequest(vector_id=made.vector_id),
          messages.JsonReply)
    stream = channel.stream_stream(SERVICE + "StepVector",
                                   request_serializer=messages.StepVectorRequest.SerializeToString,
                                   response_deserializer=messages.JsonReply.FromString)

    def refused(**fields):
        request = messages.StepVectorRequest(vector_id=made.vector_id, **fields)
        try:
            list(stream(iter([request]), timeout=30))
            return None
        except grpc.RpcError as error:
            return {"code": error.code().name, "details": error.details()}

    zeros = bytes(16)
    seen = {"name": refused(actions=messages.Tensor(name="\x1b" + "n" * 10000, dtype="float32",
                                                    shape=[2, 2], data=zeros)),
            "shape": refused(actions=messages.Tensor(dtype="float32", shape=[2] + [1] * 5000,
                                                     data=zeros)),
            "number": refused(actions_json="[[0.5, 1e400], [0, 0]]")}
    unary(channel, "CloseVector", messages.VectorRequest(vector_id=made.vector_id),
          messages.CloseReply)
    return seen


def unreadable(channel, messages):
    """What each stream answered before it ended, and how it ended."""
    def ended(name, requests):
        # The bytes go out as they are, so that they need not be a message.
        stream = channel.stream_stream(SERVICE + name, request_serializer=lambda raw: raw,
                                       response_deserializer=messages.JsonReply.FromString)
        answers = []
        try:
            for reply in stream(iter(requests), timeout=30):
                answers.append(json.loads(reply.json))
            return {"answers": answers, "code": "OK", "details": None}
        except grpc.RpcError as error:
            return {"answers": answers, "code": error.code().name, "details": error.details()}

    made = unary(channel, "MakeVector", messages.MakeVectorRequest(env_id="grpcio", num_envs=2),
                 messages.MakeVectorReply)
    unary(channel, "ResetVector", messages.ResetVectorRequest(vector_id=made.vector_id),
          messages.JsonReply)
    step = messages.StepVectorRequest(vector_id=made.vector_id,
                                      actions_json=json.dumps([[0.5, 0.0]] * 2)).SerializeToString()
    seen = {"garbage": ended("StepVector", [step, b"\xff\xff\xff\xff", step]),
            # The actions' text claims more bytes than the message holds.
            "cut": ended("StepVector", [step, step[:-3], step])}
    seen["after"] = ended("StepVector", [step])
    unary(channel, "CloseVector", messages.VectorRequest(vector_id=made.vector_id),
          messages.CloseReply)

    session = unary(channel, "Make", messages.MakeRequest(env_id="grpcio"), messages.MakeReply)
    unary(channel, "Reset", messages.ResetRequest(session_id=session.session_id),
          messages.JsonReply)
    single = messages.StepRequest(session_id=session.session_id,
                                  action_json="[0.5, 0.0]").SerializeToString()
    seen["session"] = ended("StepStream", [single, b"\x0a\xff", single])
    unary(channel, "Close", messages.SessionRequest(session_id=session.session_id),
          messages.CloseReply)
    return seen


HEALTH = "/grpc.health.v1.Health/"
STATUSES = {b"\x08\x01": "SERVING", b"\x08\x02": "NOT_SERVING", b"\x08\x03": "SERVICE_UNKNOWN"}


def health_check(channel, service=b""):
    call = channel.unary_unary(HEALTH + "Check")
    try:
        return STATUSES.get(call(service, timeout=30), "other")
    except grpc.RpcError as error:
        return error.code().name


def health(channel, messages, program):
    seen = {"check": health_check(channel)}
    watch = channel.unary_stream(HEALTH + "Watch")(b"", timeout=60)
    seen["watched"] = STATUSES.get(next(watch), "other")
    os.rename(program, program + ".away")
    metadata = [("authorization", "Bearer " + os.environ["SIM_TOKEN"])]
    failures = []
    for _ in range(3):
        try:
            unary(channel, "Make", messages.MakeRequest(env_id="away"), messages.MakeReply,
                  metadata)
            failures.append("made")
        except grpc.RpcError as error:
            failures.append(error.code().name)
    seen["makes"] = failures
    seen["failing_check"] = health_check(channel)
    seen["failing_service_check"] = health_check(channel, b"\x0a\x16norva.sim.v1.Simulator")
    seen["failing_watched"] = STATUSES.get(next(watch), "other")
    seen["unknown"] = health_check(channel, b"\x0a\x05other")
    unknown = channel.unary_stream(HEALTH + "Watch")(b"\x0a\x05other", timeout=60)
    seen["unknown_watched"] = STATUSES.get(next(unknown), "other")
    unknown.cancel()
    watch.cancel()
    os.rename(program + ".away", program)
    return seen


def main():
    proto_file, port, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    numbers = sys.argv[4:] if mode == "health" else [int(value) for value in sys.argv[4:]]
    messages = load_messages(proto_file)
    with grpc.insecure_channel(f"127.0.0.1:{port}") as channel:
        if mode == "longid":
            numbers = [port]
        result = {"vector": vector, "actions": actions, "token": token,
                  "longid": longid, "tensors": tensors,
                  "unreadable": unreadable, "health": health}[mode](channel, messages, *numbers)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
