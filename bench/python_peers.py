"""What a Python user would write instead of norva's worker pipe, stepped the same way.

    python_peers.py mp_pipe STEPS            a multiprocessing.Pipe worker with a trivial
                                             environment, the usual design of a vector env
    python_peers.py json_lines STEPS SIM...  a JSON-lines driver of the given simulator command

Prints "<steps> <wall seconds> <CPU seconds of both processes>" for the stepping alone.
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
    wall, cpu = mp_pipe(steps) if mode == "mp_pipe" else json_lines(steps, sys.argv[3:])
    print(steps, wall, cpu)


if __name__ == "__main__":
    main()
