"""What a Python user would write instead of norva's worker pipe, stepped the same way.

    python_peers.py mp_pipe STEPS            a multiprocessing.Pipe worker with a trivial
                                             environment, the usual design of a vector env
    python_peers.py json_lines STEPS SIM...  a JSON-lines driver of the given simulator command
    python_peers.py mp_vector STEPS N SIM... N Pipe workers stepped in lock-step, each driving
                                             its own simulator over JSON lines and resetting it
                                             as its episode ends
    python_peers.py drift_vector STEPS N     N Pipe workers stepped in lock-step, each holding
                                             python_env.Drift and resetting it as its episode
                                             ends (Gymnasium's async vector, in its shape)
    python_peers.py grpcio_vector STEPS N PROTO PORT
                                             grpcio stepping one served vector of N
    python_peers.py grpcio_packed_vector STEPS N PROTO PORT
                                             grpcio sending a packed vector's messages and
                                             leaving its answers undecoded
    python_peers.py norva_sim_vector STEPS N PROTO PORT
                                             the Python client (python/norva_sim) stepping one
                                             served vector of N over gRPC
    python_peers.py uneven_vector STEPS M N PROTO PORT
                                             the Python client stepping a served vector of N
                                             whose first quarter takes 5 ms a step and the rest
                                             1 ms, in lock-step (M 0) or answering the first M
                                             to finish (batch_size)
    python_peers.py grpcio_sessions STEPS N PROTO PORT
                                             N grpcio clients, one process each, each stepping
                                             its own session over a StepStream

Prints "<steps> <wall seconds> <CPU seconds>" for the stepping alone; the CPU is of both
processes for the first two, of this one for the rest.
"""
import json
import math
import multiprocessing
import os
import resource
import subprocess
import sys
import time

EPISODE_LENGTH = 10
ACTION = [0.1, -0.1]


def own_cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def process_cpu(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class TrivialEnv:
    def reset(self):
        self.x = self.y = 0.0
        self.t = 0
        return self.observation()

    def step(self, action):
        self.x += action[0]
        self.y += action[1]
        self.t += 1
        return self.observation(), -math.hypot(self.x, self.y), self.t >= EPISODE_LENGTH, False, {}

    def observation(self):
        return {"position": [self.x, self.y], "gear": self.t % 3}


def pipe_worker(connection):
    env = TrivialEnv()
    while True:
        command, data = connection.recv()
        if command == "step":
            connection.send(env.step(data))
        elif command == "reset":
            connection.send(env.reset())
        else:
            connection.send(None)
            return


def mp_pipe(steps):
    ours, theirs = multiprocessing.Pipe()
    worker = multiprocessing.Process(target=pipe_worker, args=(theirs,), daemon=True)
    worker.start()
    ours.send(("reset", None))
    ours.recv()
    cpu, started = own_cpu() + process_cpu(worker.pid), time.perf_counter()
    for _ in range(steps):
        ours.send(("step", ACTION))
        _, _, terminated, truncated, _ = ours.recv()
        if terminated or truncated:
            ours.send(("reset", None))
            ours.recv()
    wall = time.perf_counter() - started
    cpu = own_cpu() + process_cpu(worker.pid) - cpu
    ours.send(("close", None))
    ours.recv()
    worker.join()
    return wall, cpu


class JsonLinesSim:
    """A simulator program spoken to over JSON lines, as a Python wrapper of one would."""

    def __init__(self, command):
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.next_id = 0

    def call(self, op, **fields):
        self.next_id += 1
        self.process.stdin.write(
            json.dumps({"id": self.next_id, "op": op, **fields}).encode() + b"\n")
        self.process.stdin.flush()
        answer = json.loads(self.process.stdout.readline())
        if answer.get("id") != self.next_id or "result" not in answer:
            raise SystemExit(f"the simulator answered {answer!r} to request {self.next_id}")
        return answer["result"]

    def close(self):
        self.call("close")
        self.process.wait()


def drift_worker(connection):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import python_env
    env = python_env.Drift()
    while True:
        operation, data = connection.recv()
        if operation == "reset":
            connection.send(env.reset())
        elif operation == "step":
            observation, reward, terminated, truncated, info = env.step(data)
            if terminated or truncated:
                info = {"final_observation": observation}
                observation, _ = env.reset()
            connection.send((observation, reward, terminated, truncated, info))
        else:
            connection.send(None)
            return


def lockstep_pipes(steps, count, worker_target, *arguments):
    """`count` Pipe workers stepped in lock-step, as Gymnasium's async vector steps them; the CPU
    is of this process and the workers, for the stepping alone."""
    pipes, workers = [], []
    for _ in range(count):
        ours, theirs = multiprocessing.Pipe()
        worker = multiprocessing.Process(target=worker_target, args=(theirs, *arguments),
                                         daemon=True)
        worker.start()
        pipes.append(ours)
        workers.append(worker)
    for pipe in pipes:
        pipe.send(("reset", None))
    for pipe in pipes:
        pipe.recv()
    cpu, started = own_cpu() + sum(process_cpu(w.pid) for w in workers), time.perf_counter()
    for _ in range(steps):
        for pipe in pipes:
            pipe.send(("step", ACTION))
        for pipe in pipes:
            pipe.recv()
    wall = time.perf_counter() - started
    cpu = own_cpu() + sum(process_cpu(worker.pid) for worker in workers) - cpu
    for pipe in pipes:
        pipe.send(("close", None))
        pipe.recv()
    for worker in workers:
        worker.join()
    return steps * count, wall, cpu


def drift_vector(steps, count):
    return lockstep_pipes(steps, count, drift_worker)


def sim_pipe_worker(connection, command):
    sim = JsonLinesSim(command)
    sim.call("make", env_id="bench", env_init={})
    while True:
        operation, data = connection.recv()
        if operation == "reset":
            connection.send(sim.call("reset"))
        elif operation == "step":
            result = sim.call("step", action=data)
            if result["terminated"] or result["truncated"]:
                reset = sim.call("reset")
                result["info"] = {"final_observation": result["observation"]}
                result["observation"] = reset["observation"]
            connection.send(result)
        else:
            sim.close()
            connection.send(None)
            return


def mp_vector(steps, count, command):
    return lockstep_pipes(steps, count, sim_pipe_worker, command)


SERVICE = "/norva.sim.v1.Simulator/"


def grpc_messages(proto_file):
    """The protocol's messages, made by protoc for Python's protobuf runtime."""
    import tempfile
    folder = tempfile.mkdtemp()
    subprocess.run(["protoc", f"--proto_path={os.path.dirname(proto_file)}",
                    f"--python_out={folder}", proto_file], check=True)
    sys.path.insert(0, folder)
    import sim_pb2
    return sim_pb2


def grpc_call(channel, name, request, reply_type):
    import grpc  # noqa: F401 (the channel's module)
    call = channel.unary_unary(SERVICE + name, request_serializer=type(request).SerializeToString,
                               response_deserializer=reply_type.FromString)
    return call(request, timeout=60)


def grpcio_stepping(steps, count, proto_file, port, packed, request_of, check):
    """grpcio making one served vector of `count` and stepping it over a StepVector stream:
    `request_of(messages, vector_id)` is every step's request and `check(reply)` looks at each
    answer. The CPU is of this process, for the stepping alone."""
    import grpc
    messages = grpc_messages(proto_file)
    with grpc.insecure_channel(f"127.0.0.1:{port}") as channel:
        made = grpc_call(channel, "MakeVector",
                         messages.MakeVectorRequest(num_envs=count, packed=packed),
                         messages.MakeVectorReply)
        grpc_call(channel, "ResetVector", messages.ResetVectorRequest(vector_id=made.vector_id),
                  messages.JsonReply)
        stream = channel.stream_stream(SERVICE + "StepVector",
                                       request_serializer=messages.StepVectorRequest.SerializeToString,
                                       response_deserializer=messages.JsonReply.FromString)
        request = request_of(messages, made.vector_id)
        cpu, started = own_cpu(), time.perf_counter()
        for reply in stream(iter([request] * steps), timeout=600):
            check(reply)
        wall = time.perf_counter() - started
        cpu = own_cpu() - cpu
        grpc_call(channel, "CloseVector", messages.VectorRequest(vector_id=made.vector_id),
                  messages.CloseReply)
    return steps * count, wall, cpu


def grpcio_vector(steps, count, proto_file, port):
    """grpcio with JSON actions, decoding every answer."""
    def check(reply):
        results = json.loads(reply.json)["results"]
        if len(results) != count or "error" in results[0]:
            raise SystemExit(f"the vector answered {reply.json[:200]}")

    return grpcio_stepping(
        steps, count, proto_file, port, False,
        lambda messages, vector: messages.StepVectorRequest(
            vector_id=vector, actions_json=json.dumps([ACTION] * count)),
        check)


def grpcio_packed_vector(steps, count, proto_file, port):
    """The messages a packed vector's client sends, the actions as one tensor, with the answers
    taken as they come and left undecoded: the floor of a Python client of packed vectors."""
    import numpy
    actions = numpy.asarray([ACTION] * count, dtype="float32")

    def check(reply):
        if not reply.HasField("packed"):
            raise SystemExit(f"the vector answered {reply.json[:200]}")

    return grpcio_stepping(
        steps, count, proto_file, port, True,
        lambda messages, vector: messages.StepVectorRequest(
            vector_id=vector, actions=messages.Tensor(dtype="float32", shape=actions.shape,
                                                      data=actions.tobytes())),
        check)


def norva_sim_client():
    """The Python client of this source tree."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    import norva_sim
    return norva_sim


def norva_sim_vector(steps, count, _proto_file, port):
    norva_sim = norva_sim_client()
    with norva_sim.VectorEnv(f"127.0.0.1:{port}", count, protocol="grpc", timeout=60) as envs:
        envs.reset()
        actions = [ACTION] * count
        cpu, started = own_cpu(), time.perf_counter()
        for _ in range(steps):
            envs.step(actions)
        wall = time.perf_counter() - started
        cpu = own_cpu() - cpu
    return steps * count, wall, cpu


def uneven_vector(steps, batch_size, count, _proto_file, port):
    norva_sim = norva_sim_client()
    uneven = {"slow_seeds": list(range(count // 4)), "slow_ms": 5, "step_ms": 1}
    with norva_sim.VectorEnv(f"127.0.0.1:{port}", count, env_init=uneven, protocol="grpc",
                             batch_size=batch_size or None, timeout=60) as envs:
        envs.reset(seed=0)
        actions = [ACTION] * count
        envs.step(actions)
        answered = 0
        cpu, started = own_cpu(), time.perf_counter()
        for _ in range(steps):
            answered += len(envs.step(actions[:batch_size or count])[1])
        wall = time.perf_counter() - started
        cpu = own_cpu() - cpu
    return answered, wall, cpu


def grpcio_session(steps, proto_file, port, start, done):
    import grpc
    messages = grpc_messages(proto_file)
    with grpc.insecure_channel(f"127.0.0.1:{port}") as channel:
        made = grpc_call(channel, "Make", messages.MakeRequest(), messages.MakeReply)
        grpc_call(channel, "Reset", messages.ResetRequest(session_id=made.session_id),
                  messages.JsonReply)
        stream = channel.stream_stream(SERVICE + "StepStream",
                                       request_serializer=messages.StepRequest.SerializeToString,
                                       response_deserializer=messages.JsonReply.FromString)
        request = messages.StepRequest(session_id=made.session_id, action_json=json.dumps(ACTION))
        start.wait()
        for reply in stream(iter([request] * steps), timeout=600):
            json.loads(reply.json)
        done.put(time.perf_counter())
        grpc_call(channel, "Close", messages.SessionRequest(session_id=made.session_id),
                  messages.CloseReply)


def grpcio_sessions(steps, count, proto_file, port):
    start, done = multiprocessing.Barrier(count + 1), multiprocessing.Queue()
    clients = [multiprocessing.Process(target=grpcio_session,
                                       args=(steps, proto_file, port, start, done))
               for _ in range(count)]
    for client in clients:
        client.start()
    start.wait()
    cpu, started = own_cpu(), time.perf_counter()
    ended = max(done.get(timeout=600) for _ in clients)
    for client in clients:
        client.join()
    return steps * count, ended - started, cpu


def json_lines(steps, command):
    sim = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    next_id = 0

    def call(op, **fields):
        nonlocal next_id
        next_id += 1
        sim.stdin.write(json.dumps({"id": next_id, "op": op, **fields}).encode() + b"\n")
        sim.stdin.flush()
        answer = json.loads(sim.stdout.readline())
        if answer.get("id") != next_id or "result" not in answer:
            raise SystemExit(f"the simulator answered {answer!r} to request {next_id}")
        return answer["result"]

    call("make", env_id="bench", env_init={})
    call("reset")
    cpu, started = own_cpu() + process_cpu(sim.pid), time.perf_counter()
    for _ in range(steps):
        result = call("step", action=ACTION)
        if not all(key in result for key in ("observation", "reward", "terminated", "truncated")):
            raise SystemExit(f"the simulator's step result lacks a field: {result!r}")
        if result["terminated"] or result["truncated"]:
            call("reset")
    wall = time.perf_counter() - started
    cpu = own_cpu() + process_cpu(sim.pid) - cpu
    call("close")
    sim.wait()
    return wall, cpu


def main():
    mode, steps = sys.argv[1], int(sys.argv[2])
    if mode in ("mp_pipe", "json_lines"):
        wall, cpu = mp_pipe(steps) if mode == "mp_pipe" else json_lines(steps, sys.argv[3:])
        print(steps, wall, cpu)
        return
    if mode == "uneven_vector":
        print(*uneven_vector(steps, int(sys.argv[3]), int(sys.argv[4]), sys.argv[5],
                             int(sys.argv[6])))
        return
    count = int(sys.argv[3])
    if mode == "mp_vector":
        print(*mp_vector(steps, count, sys.argv[4:]))
        return
    if mode == "drift_vector":
        print(*drift_vector(steps, count))
        return
    peer = {"grpcio_vector": grpcio_vector, "grpcio_sessions": grpcio_sessions,
            "grpcio_packed_vector": grpcio_packed_vector,
            "norva_sim_vector": norva_sim_vector}[mode]
    print(*peer(steps, count, sys.argv[4], int(sys.argv[5])))


if __name__ == "__main__":
    main()
