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
    after = json.loads(step([0.1, 0.1]).json)
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


def main():
    proto_file, port, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    numbers = [int(value) for value in sys.argv[4:]]
    messages = load_messages(proto_file)
    with grpc.insecure_channel(f"127.0.0.1:{port}") as channel:
        if mode == "longid":
            numbers = [port]
        result = {"vector": vector, "actions": actions, "token": token,
                  "longid": longid}[mode](channel, messages, *numbers)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
