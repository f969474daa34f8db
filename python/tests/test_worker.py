"""norva_sim.worker against norva itself (validated and served) and request by request, single
and batched, with Gymnasium-like space objects and numpy values."""
import io
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

ROOT = os.path.join(os.path.dirname(__file__), "..")
sys.path.insert(0, ROOT)
import norva_sim  # noqa: E402
import norva_sim.worker  # noqa: E402
import numpy  # noqa: E402
from served import NORVA, Server  # noqa: E402

# An author's environment: space objects with Gymnasium's attributes, numpy values, a step that
# raises for an action it cannot take, and one that answers what JSON cannot hold for the action
# env_init's "unwritable" names.
ENVIRONMENT = textwrap.dedent('''
    import sys
    import numpy
    sys.path.insert(0, %r)
    import norva_sim.worker

    class Box:
        def __init__(self, low, high, shape):
            self.low, self.high, self.shape = numpy.full(shape, low), numpy.full(shape, high), shape
            self.dtype = numpy.dtype("float32")

    class Discrete:
        def __init__(self, n):
            self.n, self.start = n, 0

    class Walk:
        observation_space = Box(-10.0, 10.0, (2,))
        action_space = Discrete(3)

        def __init__(self, env_init):
            self.unwritable = env_init.get("unwritable")

        def reset(self, seed=None, options=None):
            self.position = numpy.zeros(2, dtype=numpy.float32) + (seed or 0) %% 3
            self.steps = 0
            return self.position, {"seed": seed}

        def step(self, action):
            if action not in (0, 1, 2):
                raise ValueError(f"no action {action!r}")
            self.position[0] += numpy.float32(action - 1)
            self.steps += 1
            info = {"steps": numpy.int64(self.steps)}
            if action == self.unwritable:
                info["seen"] = {action}
            return self.position, numpy.float64(1.0), numpy.bool_(self.steps >= 5), False, info

    norva_sim.worker.run(lambda env_id, env_init: Walk(env_init))
''') % os.path.abspath(ROOT)


def exchange(requests, make_env):
    source = io.StringIO("".join(json.dumps(request) + "\n" for request in requests))
    sink = io.StringIO()
    norva_sim.worker.run(make_env, source, sink)
    return [json.loads(line) for line in sink.getvalue().splitlines()]


class Counter:
    observation_space = {"type": "box", "low": 0, "high": 100, "shape": [1]}
    action_space = {"type": "discrete", "n": 2}

    def reset(self, seed=None, options=None):
        self.count = seed or 0
        return [self.count], {}

    def step(self, action):
        if action == 1:
            raise RuntimeError("action 1 breaks this one")
        self.count += 1
        return [self.count], 1.0, self.count >= 3, False, {}


class WorkerTest(unittest.TestCase):
    def folder(self, instances=1):
        folder = tempfile.mkdtemp()
        with open(os.path.join(folder, "walk.py"), "w") as program:
            program.write(ENVIRONMENT)
        with open(os.path.join(folder, "norva-sim.toml"), "w") as manifest:
            manifest.write('name = "walk"\ndescription = "a walk"\ntype = "sim"\n'
                           'version = "0.1.0"\ncommand = ["/usr/bin/python3", "walk.py"]\n'
                           f'instances = {instances}\n')
        return folder

    def test_norva_validates_an_environment_served_through_the_worker(self):
        for instances in (1, 3):
            validated = subprocess.run([NORVA, "sim", "validate", self.folder(instances),
                                        "--json", "--steps", "25"],
                                       capture_output=True, text=True)
            report = json.loads(validated.stdout)
            errors = [finding for finding in report["findings"]
                      if finding["severity"] == "error"]
            self.assertEqual(errors, [], validated.stdout)
            self.assertEqual(validated.returncode, 0, validated.stderr)
            checks = [check["check"] for check in report["checks"]]
            self.assertEqual("partial-reset" in checks, instances > 1, checks)

    def test_single_requests_and_errors(self):
        answers = exchange([
            {"id": 1, "op": "make", "env_id": "c", "env_init": {}},
            {"id": 2, "op": "sensor_space"},
            {"id": 3, "op": "reset", "seed": 1},
            {"id": 4, "op": "step", "action": 1},
            {"id": 5, "op": "step", "action": 0},
            {"id": 6, "op": "close"},
            {"id": 7, "op": "step", "action": 0}], lambda env_id, env_init: Counter())
        self.assertEqual([answer["id"] for answer in answers], [1, 2, 3, 4, 5, 6])
        self.assertEqual(answers[1]["result"], Counter.observation_space)
        self.assertEqual(answers[2]["result"], {"observation": [1], "info": {}})
        self.assertEqual(answers[3]["error"], "RuntimeError: action 1 breaks this one")
        self.assertEqual(answers[4]["result"]["observation"], [2])

    def test_batched_requests_answer_each_environment(self):
        answers = exchange([
            {"id": 1, "op": "make", "env_id": "c", "env_init": {}, "instances": 3},
            {"id": 2, "op": "reset", "seeds": [0, 1, None]},
            {"id": 3, "op": "step", "actions": [0, 1, 0]},
            {"id": 4, "op": "reset", "instances": [1], "seeds": [2]},
            {"id": 5, "op": "step", "actions": [0, 0]},
            "not a request",
            {"id": 6, "op": "step", "instances": [2], "actions": [0]},
            {"id": 7, "op": "step", "instances": [3], "actions": [0]},
            {"id": 8, "op": "close"}], lambda env_id, env_init: Counter())
        self.assertEqual([result["observation"] for result in answers[1]["result"]["results"]],
                         [[0], [1], [0]])
        stepped = answers[2]["result"]["results"]
        self.assertEqual(stepped[0]["observation"], [1])
        self.assertEqual(stepped[1], {"error": "RuntimeError: action 1 breaks this one"})
        self.assertEqual(stepped[2]["observation"], [1])
        self.assertEqual(answers[3]["result"]["results"][0]["observation"], [2])
        self.assertIn("one action for each of the 3 instances", answers[4]["error"])
        self.assertEqual(answers[5], {"id": None, "error": "ValueError: a request is a JSON object"})
        # A step may list the environments it takes: the others stay where they were.
        self.assertEqual(answers[6]["result"]["results"], [
            {"observation": [2], "reward": 1.0, "terminated": False, "truncated": False, "info": {}}])
        self.assertEqual(answers[7]["error"], "ValueError: no instance 3; this process holds 3")

    def test_an_answer_json_cannot_hold_is_its_environments_error_alone(self):
        class Awkward(Counter):
            def step(self, action):
                observation, reward, terminated, truncated, info = super().step(0)
                if action == "set":
                    info = {"seen": {1, 2}}
                if action == "object":
                    observation = [object()]
                return observation, reward, terminated, truncated, info

        answers = exchange([
            {"id": 1, "op": "make", "env_id": "c", "env_init": {}, "instances": 3},
            {"id": 2, "op": "reset", "seeds": [0, 1, 2]},
            {"id": 3, "op": "step", "actions": [0, "set", "object"]},
            {"id": 4, "op": "step", "instances": [1], "actions": [0]}],
            lambda env_id, env_init: Awkward())
        stepped = answers[2]["result"]["results"]
        self.assertEqual(stepped[0]["observation"], [1])
        self.assertIn("the answer cannot be written as JSON", stepped[1]["error"])
        self.assertIn("set", stepped[1]["error"])
        self.assertIn("the answer cannot be written as JSON", stepped[2]["error"])
        self.assertEqual(answers[3]["result"]["results"][0]["observation"], [3],
                         "the environment whose answer could not be written goes on")
        single = exchange([{"id": 1, "op": "make"}, {"id": 2, "op": "reset"},
                           {"id": 3, "op": "step", "action": "set"}],
                          lambda env_id, env_init: Awkward())
        self.assertEqual(single[2]["id"], 3)
        self.assertIn("the answer cannot be written as JSON", single[2]["error"])

    def test_a_served_vector_of_a_batched_process_loses_only_the_unwritable_slots_step(self):
        program = os.path.join(self.folder(), "walk.py")
        for protocol in ("http", "grpc"):
            server = Server(protocol, command=["/usr/bin/python3", program], instances=3)
            self.addCleanup(server.stop)
            with norva_sim.VectorEnv(server.address, 3, protocol=protocol,
                                     env_init={"unwritable": 2}) as envs:
                envs.reset(seed=0)
                observations, rewards, _, truncated, infos = envs.step([0, 2, 1])
                self.assertEqual(truncated.tolist(), [False, True, False], protocol)
                self.assertEqual(infos["_error"].tolist(), [False, True, False])
                self.assertIn("cannot be written as JSON", infos["error"][1])
                self.assertEqual(observations[:, 0].tolist(), [-1.0, 1.0, 2.0])
                self.assertEqual(rewards.tolist(), [1.0, 0.0, 1.0])

    def test_spaces_and_values_of_numpy_and_gymnasiums_shapes(self):
        class Box:
            low, high, shape, dtype = numpy.zeros(2), numpy.ones(2), (2,), numpy.dtype("float64")

        class Dict:
            spaces = {"box": Box(), "pick": {"type": "discrete", "n": 4}}

        self.assertEqual(norva_sim.worker.space_json(Dict()), {"type": "dict", "spaces": {
            "box": {"type": "box", "low": [0.0, 0.0], "high": [1.0, 1.0], "shape": [2],
                    "dtype": "float64"},
            "pick": {"type": "discrete", "n": 4}}})
        with self.assertRaises(TypeError):
            norva_sim.worker.space_json(object())


if __name__ == "__main__":
    unittest.main()
