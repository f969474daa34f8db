"""Drives `norva sim run --protocol http` with Python's own HTTP client, as a trainer would.

usage: http_client.py MODE PORT [ARGS]; prints one JSON object with what it saw.
  pause              step, wait 2 s on the same kept-alive connection, step again
  pipeline           two requests written at once on one connection
  idle COUNT         COUNT idle kept-alive connections, then a new client makes and steps
  load CLIENTS STEPS each client a session with STEPS steps, a new connection per request
  scrape             GET /metrics, every line checked against the Prometheus text format
  seeds              resets with a seed and options, without, and with wrong ones
  vector COUNT       a vector of COUNT: seeded reset, steps, wrong requests, close
  actions            actions of the wrong structure, and one outside the box, to a session and
                     to a vector of 2, then a good step each; the metrics after
"""
import http.client
import json
import re
import socket
import sys
import threading
import time

HOST = "127.0.0.1"


def request(connection, method, path, body=None, headers=None):
    connection.request(method, path, body=None if body is None else json.dumps(body),
                       headers={"Content-Type": "application/json", **(headers or {})})
    answer = connection.getresponse()
    data = answer.read()
    if answer.status != 200:
        raise RuntimeError(f"{method} {path}: {answer.status} {data[:200]!r}")
    return json.loads(data)


def make(connection):
    return request(connection, "POST", "/v1/sessions", {"env_id": "python"})["session_id"]


def step(connection, session):
    return request(connection, "POST", f"/v1/sessions/{session}/step", {"action": [0.25, 0.25]})


def pause(port):
    connection = http.client.HTTPConnection(HOST, port, timeout=30)
    session = make(connection)
    request(connection, "POST", f"/v1/sessions/{session}/reset", {})
    first = step(connection, session)
    time.sleep(2)
    second = step(connection, session)
    request(connection, "DELETE", f"/v1/sessions/{session}")
    return {"first": first["observation"], "second": second["observation"]}


def read_answer(stream):
    status = stream.readline().decode().split(" ", 2)
    length = 0
    while True:
        line = stream.readline().decode().strip()
        if not line:
            break
        name, _, value = line.partition(":")
        if name.lower() == "content-length":
            length = int(value)
    return {"status": int(status[1]), "body": json.loads(stream.read(length))}


def pipeline(port):
    with socket.create_connection((HOST, port), timeout=10) as connection:
        connection.sendall(b"GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n"
                           b"POST /v1/sessions/none/reset HTTP/1.1\r\nHost: x\r\n"
                           b"Content-Length: 2\r\n\r\n{}")
        stream = connection.makefile("rb")
        return {"answers": [read_answer(stream), read_answer(stream)]}


def idle(port, count):
    held = []
    for _ in range(count):
        connection = http.client.HTTPConnection(HOST, port, timeout=30)
        request(connection, "GET", "/v1/health")
        held.append(connection)
    started = time.monotonic()
    fresh = http.client.HTTPConnection(HOST, port, timeout=30)
    session = make(fresh)
    observation = step(fresh, session)["observation"]
    request(fresh, "DELETE", f"/v1/sessions/{session}")
    waited = time.monotonic() - started
    # The held connections are still served.
    request(held[-1], "GET", "/v1/health")
    return {"observation": observation, "seconds": waited, "held": len(held)}


def load(port, clients, steps):
    failures = []
    answered = [0]
    lock = threading.Lock()

    def once(method, path, body=None):
        connection = http.client.HTTPConnection(HOST, port, timeout=60)
        try:
            return request(connection, method, path, body, {"Connection": "close"})
        finally:
            connection.close()

    def client():
        try:
            session = once("POST", "/v1/sessions", {"env_id": "load"})["session_id"]
            once("POST", f"/v1/sessions/{session}/reset", {})
            for _ in range(steps):
                once("POST", f"/v1/sessions/{session}/step", {"action": [0.1, -0.1]})
            once("DELETE", f"/v1/sessions/{session}")
            with lock:
                answered[0] += steps + 3
        except Exception as error:  # every failure is counted and shown, whatever it is
            with lock:
                failures.append(repr(error))

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return {"answered": answered[0], "failed": len(failures), "failures": failures[:5]}


METRIC_NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
LABELS = r'\{(?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*",?)*\}'
NUMBER = r"[-+]?(?:[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?|Inf|NaN)"
SAMPLE = re.compile(rf"({METRIC_NAME})({LABELS})? ({NUMBER})(?: -?[0-9]+)?")
HELP = re.compile(rf"# HELP ({METRIC_NAME}) .+")
TYPE = re.compile(rf"# TYPE ({METRIC_NAME}) (counter|gauge|histogram|summary|untyped)")


def scrape(port):
    """The samples by name and labels, the declared types, and every line that breaks the format."""
    connection = http.client.HTTPConnection(HOST, port, timeout=30)
    connection.request("GET", "/metrics")
    answer = connection.getresponse()
    text = answer.read().decode("utf-8")
    samples, types, errors = {}, {}, []
    if not text.endswith("\n"):
        errors.append("the text does not end with a newline")
    for line in text.split("\n")[:-1]:
        if line.startswith("#"):
            declared = TYPE.fullmatch(line)
            if declared:
                if declared.group(1) in types:
                    errors.append(f"declared twice: {line}")
                types[declared.group(1)] = declared.group(2)
            elif not HELP.fullmatch(line):
                errors.append(f"not a HELP or TYPE line: {line}")
            continue
        sample = SAMPLE.fullmatch(line)
        if not sample:
            errors.append(f"not a sample: {line}")
            continue
        name = sample.group(1)
        family = re.sub(r"_(bucket|sum|count)$", "", name) if name not in types else name
        if family not in types:
            errors.append(f"no TYPE before: {line}")
        samples[name + (sample.group(2) or "")] = float(sample.group(3))
    return {"status": answer.status, "content_type": answer.getheader("Content-Type"),
            "samples": samples, "types": types, "errors": errors}


def seeds(port):
    """The infos of good resets, and the status and kind of each wrong one."""
    connection = http.client.HTTPConnection(HOST, port, timeout=30)
    session = make(connection)
    path = f"/v1/sessions/{session}/reset"
    seeded = request(connection, "POST", path, {"seed": 7, "options": {"level": 2}})["info"]
    plain = request(connection, "POST", path)["info"]
    refused = []
    for body in ({"seed": -1}, {"seed": 1.5}, {"seed": "7"}, {"seed": 2 ** 64},
                 {"options": [1]}, {"options": "x"}):
        connection.request("POST", path, body=json.dumps(body),
                           headers={"Content-Type": "application/json"})
        answer = connection.getresponse()
        error = json.loads(answer.read())
        refused.append({"status": answer.status, "kind": error.get("kind"),
                        "error": error.get("error")})
    after = request(connection, "POST", path, {"seed": None})["info"]
    return {"seeded": seeded, "plain": plain, "refused": refused, "after": after}


def refusal(connection, method, path, body):
    """The status and error body of a request that must fail; the body may be raw text."""
    connection.request(method, path, body=body if isinstance(body, str) else json.dumps(body),
                       headers={"Content-Type": "application/json"})
    answer = connection.getresponse()
    error = json.loads(answer.read())
    return {"status": answer.status, "kind": error.get("kind"), "error": error.get("error")}


def vector(port, count):
    """A vector stepped as a trainer steps one, and every wrong request's status and kind."""
    connection = http.client.HTTPConnection(HOST, port, timeout=30)
    made = request(connection, "POST", "/v1/vectors", {"env_id": "python", "num_envs": count})
    path = f"/v1/vectors/{made['vector_id']}"
    reset = request(connection, "POST", f"{path}/reset", {"seed": 3})["results"]
    steps = [request(connection, "POST", f"{path}/step",
                     {"actions": [[0.5, 0.0]] * count})["results"] for _ in range(3)]
    deep = "{\"actions\": " + "[" * 100000 + "]" * 100000 + "}"
    refused = [refusal(connection, "POST", f"{path}/step", body) for body in (
        {"actions": [[0.5, 0.0]] * (count + 1)}, {"actions": []}, {"actions": "x"}, {},
        deep, {"actions": [[0.0, 0.0]] * 100000})]
    refused += [refusal(connection, "POST", f"{path}/reset", body) for body in (
        {"seeds": [1]}, {"seed": 1, "seeds": [1] * count}, {"seeds": [-1] * count})]
    refused += [refusal(connection, "POST", "/v1/vectors", body) for body in (
        {"num_envs": 0}, {"num_envs": 100000}, {"num_envs": "8"}, {"autoreset": 1})]
    request(connection, "DELETE", path)
    gone = refusal(connection, "POST", f"{path}/step", {"actions": [[0.0, 0.0]] * count})
    return {"sessions": made["session_ids"], "reset": reset, "steps": steps,
            "refused": refused, "gone": gone}


def actions(port):
    """What each wrong action was answered, and that the session and vector step on."""
    connection = http.client.HTTPConnection(HOST, port, timeout=30)
    session = make(connection)
    path = f"/v1/sessions/{session}"
    request(connection, "POST", f"{path}/reset", {"seed": 3})
    refused = [refusal(connection, "POST", f"{path}/step", {"action": action})
               for action in ([0.5], "x", [float("nan"), 0.0], [[0.5], 0.0], None)]
    outside = request(connection, "POST", f"{path}/step", {"action": [5.0, 0.0]})
    after = step(connection, session)
    made = request(connection, "POST", "/v1/vectors", {"env_id": "python", "num_envs": 2})
    vector_path = f"/v1/vectors/{made['vector_id']}"
    request(connection, "POST", f"{vector_path}/reset", {"seed": 3})
    slot = refusal(connection, "POST", f"{vector_path}/step", {"actions": [[0.0, 0.0], [1]]})
    stepped = request(connection, "POST", f"{vector_path}/step",
                      {"actions": [[0.0, 0.0], [9.0, 0.0]]})["results"]
    connection.request("GET", "/metrics")
    metrics = connection.getresponse().read().decode()
    counted = [line for line in metrics.splitlines()
               if line.startswith("norva_sim_actions_out_of_bounds_total ")]
    return {"refused": refused, "outside": outside["observation"], "after": after["observation"],
            "slot": slot, "vector": [result["observation"] for result in stepped],
            "out_of_bounds": int(counted[0].split()[1]) if counted else None}


def main():
    mode, port = sys.argv[1], int(sys.argv[2])
    numbers = [int(value) for value in sys.argv[3:]]
    modes = {"pause": pause, "pipeline": pipeline, "idle": idle, "load": load, "scrape": scrape,
             "seeds": seeds, "vector": vector, "actions": actions}
    result = modes[mode](port, *numbers) if mode != "actions" else actions(port)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
