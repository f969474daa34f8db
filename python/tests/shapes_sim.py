"""A simulator for the packed-vector tests: an observation of every kind of leaf and dtype, and
an action space of the kind its argument names (box, discrete, multi_discrete, multi_binary,
dict). env_init's "wrong_shape_at" gives an observation of the wrong shape at that step,
"outside_at" one whose uint8 leaf holds 300, and "crash_seed" ends the process at the first step
of the environment reset with that seed. Episodes end after 5 steps; info "t" counts the steps.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import norva_sim.worker  # noqa: E402

ACTIONS = {
    "box": {"type": "box", "low": -1.0, "high": 1.0, "shape": [2]},
    "discrete": {"type": "discrete", "n": 3},
    "multi_discrete": {"type": "multi_discrete", "nvec": [3, 4]},
    "multi_binary": {"type": "multi_binary", "n": 3},
    "dict": {"type": "dict", "spaces": {"push": {"type": "discrete", "n": 2}}},
}
SENSORS = {"type": "dict", "spaces": {
    "position": {"type": "box", "low": -100.0, "high": 100.0, "shape": [2, 2],
                 "dtype": "float64"},
    "level": {"type": "box", "low": 0, "high": 255, "shape": [1], "dtype": "uint8"},
    "small": {"type": "box", "low": -10.0, "high": 10.0, "shape": [3], "dtype": "float16"},
    "tiny": {"type": "box", "low": -100, "high": 100, "shape": [2], "dtype": "int8"},
    "gear": {"type": "discrete", "n": 5},
    "parts": {"type": "tuple", "spaces": [{"type": "multi_discrete", "nvec": [3, 4]},
                                          {"type": "multi_binary", "n": 3}]},
}}
KIND = sys.argv[1] if len(sys.argv) > 1 else "box"


def push_of(action):
    """A number from any kind of action, so that each moves the environment differently."""
    if isinstance(action, dict):
        return float(action["push"])
    if isinstance(action, list):
        return float(sum(action)) / 4
    return float(action) / 2


class Shapes:
    observation_space = SENSORS
    action_space = ACTIONS[KIND]

    def __init__(self, env_init):
        self.env_init = env_init

    def reset(self, seed=None, options=None):
        self.seed = seed or 0
        self.x = float(self.seed % 7)
        self.t = 0
        return self.observation(), {"t": 0}

    def step(self, action):
        if self.env_init.get("crash_seed") == self.seed:
            os._exit(3)
        self.x += push_of(action)
        self.t += 1
        return self.observation(), self.x / 8, self.t >= 5, False, {"t": self.t}

    def observation(self):
        t, x = self.t, self.x
        position = [[x, -x], [t * 0.5, 1.0 / 3]]
        if self.env_init.get("wrong_shape_at") == t:
            position = [x, -x, t]
        return {"position": position,
                "level": [300 if self.env_init.get("outside_at") == t else (t * 50) % 256],
                "small": [x / 3, 0.1, -2.5e-7],
                "tiny": [t - 100, 100 - t],
                "gear": t % 5,
                "parts": [[t % 3, (t + 1) % 4], [t % 2, 1, 0]]}


norva_sim.worker.run(lambda env_id, env_init: Shapes(env_init))
