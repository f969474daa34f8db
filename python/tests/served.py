"""`norva sim run` as the tests start it, and how they compare answers.

NORVA_BINARY names the built norva and TEST_SIM_BINARY the test simulator; the suite sets both.
"""
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

import numpy

NORVA = os.environ.get("NORVA_BINARY", "norva")
TEST_SIM = os.environ.get("TEST_SIM_BINARY", "")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """`norva sim run` of the test simulator (or of `command`), with its metrics on a port of
    their own; `instances` makes its processes batched."""

    def __init__(self, protocol, *options, command=None, instances=None):
        self.folder = tempfile.mkdtemp()
        command = command or [TEST_SIM, "good"]
        with open(os.path.join(self.folder, "norva-sim.toml"), "w") as manifest:
            manifest.write('name = "t"\ndescription = "d"\ntype = "sim"\nversion = "1"\n'
                           f'command = {json.dumps(command)}\n')
            if instances is not None:
                manifest.write(f"instances = {instances}\n")
        self.protocol, self.options = protocol, options
        self.port, self.metrics_port = free_port(), free_port()
        self.address = f"127.0.0.1:{self.port}"
        self.process = None
        self.start()

    def start(self):
        """Starts the server, on the same address when it was started before."""
        self.process = subprocess.Popen(
            [NORVA, "sim", "run", self.folder, "--host", "127.0.0.1", "--port", str(self.port),
             "--protocol", self.protocol, "--metrics-port", str(self.metrics_port),
             *self.options],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("the server did not start")

    def open_sessions(self, headers=None):
        return self.metric("norva_sim_sessions_open", headers)

    def metric(self, name, headers=None):
        request = urllib.request.Request(f"http://127.0.0.1:{self.metrics_port}/metrics",
                                         headers=headers or {})
        text = urllib.request.urlopen(request, timeout=10).read().decode()
        return int(re.search(rf"^{name} (\d+)$", text, re.M).group(1))

    def kill(self):
        self.process.kill()
        self.process.wait()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            self.process.wait(timeout=30)


def same(first, second):
    """Whether two answers hold the same values, arrays compared value by value."""
    if isinstance(first, dict):
        return (isinstance(second, dict) and first.keys() == second.keys()
                and all(same(first[key], second[key]) for key in first))
    if isinstance(first, (list, tuple)):
        return len(first) == len(second) and all(same(a, b) for a, b in zip(first, second))
    if isinstance(first, numpy.ndarray) and first.dtype == object:
        return first.shape == second.shape and all(same(a, b) for a, b in zip(first, second))
    if isinstance(first, numpy.ndarray) or isinstance(second, numpy.ndarray):
        return numpy.array_equal(numpy.asarray(first), numpy.asarray(second))
    return first == second
