#!/usr/bin/env python3
"""A room thermostat: keep the temperature at its target by heating, holding or cooling.

An environment with Gymnasium's signatures. norva starts this program and speaks to it one JSON
object per line; norva_sim.worker answers for the environment, one per process or, with
`instances` in norva-sim.toml, many. norva hands its own norva_sim to the programs it starts;
to run this one by hand, `pip install` the norva_sim package first. Whatever the program
writes to stderr is its log.
"""

import random
import sys

import norva_sim.worker

# float64, as the readings are computed: a float32 box would hand trainers other numbers than
# these (26.888 is no float32).
SENSOR_SPACE = {
    "type": "dict",
    "spaces": {
        "temperature": {"type": "box", "low": -20.0, "high": 60.0, "shape": [1], "dtype": "float64"},
        "target": {"type": "box", "low": 15.0, "high": 25.0, "shape": [1], "dtype": "float64"},
        "heater_on": {"type": "discrete", "n": 2},
    },
}
# 0 cools, 1 holds, 2 heats.
ACTION_SPACE = {"type": "discrete", "n": 3}

# One step is a quarter of an hour; an episode is five hours.
MAX_STEPS = 20
GIVE_UP_DISTANCE = 15.0


class Thermostat:
    observation_space = SENSOR_SPACE
    action_space = ACTION_SPACE

    def __init__(self, env_init):
        self.random = random.Random(env_init.get("seed"))
        self.outside = float(env_init.get("outside_temperature", 5.0))
        self.reset()

    def reset(self, seed=None, options=None):
        # A seed starts the episodes that follow anew, so that a run can be reproduced.
        if seed is not None:
            self.random.seed(seed)
        self.temperature = self.random.uniform(10.0, 30.0)
        self.target = self.random.uniform(18.0, 22.0)
        self.heater_on = 0
        self.steps = 0
        return self.observation(), {}

    def step(self, action):
        if action not in (0, 1, 2):
            raise ValueError(f"action must be 0, 1 or 2, not {action!r}")
        self.heater_on = 1 if action == 2 else 0
        self.temperature += 0.5 * (action - 1)
        self.temperature += 0.02 * (self.outside - self.temperature)
        self.temperature += self.random.gauss(0.0, 0.05)
        self.temperature = min(60.0, max(-20.0, self.temperature))
        self.steps += 1
        distance = abs(self.temperature - self.target)
        terminated = distance > GIVE_UP_DISTANCE
        truncated = self.steps >= MAX_STEPS
        return self.observation(), -distance, terminated, truncated, {"steps": self.steps}

    def observation(self):
        return {
            "temperature": [round(self.temperature, 3)],
            "target": [round(self.target, 3)],
            "heater_on": self.heater_on,
        }


if __name__ == "__main__":
    print("thermostat sim started", file=sys.stderr, flush=True)
    norva_sim.worker.run(lambda env_id, env_init: Thermostat(env_init))
