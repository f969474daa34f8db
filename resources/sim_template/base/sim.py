#!/usr/bin/env python3
"""A room thermostat: keep the temperature at its target by heating, holding or cooling.

norva starts this program and speaks to it one JSON object per line: each request on stdin
gets one answer on stdout, in order. Whatever the program writes to stderr is its log.
"""

import json
import random
import sys

SENSOR_SPACE = {
    "type": "dict",
    "spaces": {
        "temperature": {"type": "box", "low": -20.0, "high": 60.0, "shape": [1], "dtype": "float32"},
        "target": {"type": "box", "low": 15.0, "high": 25.0, "shape": [1], "dtype": "float32"},
        "heater_on": {"type": "discrete", "n": 2},
    },
}
# 0 cools, 1 holds, 2 heats.
ACTION_SPACE = {"type": "discrete", "n": 3}

# One step is a quarter of an hour; an episode is five hours.
MAX_STEPS = 20
GIVE_UP_DISTANCE = 15.0


class Thermostat:
    def __init__(self, env_init):
        self.random = random.Random(env_init.get("seed"))
        self.outside = float(env_init.get("outside_temperature", 5.0))
        self.reset()

    def reset(self, seed=None):
        # A seed starts the episodes that follow anew, so that a run can be reproduced.
        if seed is not None:
            self.random.seed(seed)
        self.temperature = self.random.uniform(10.0, 30.0)
        self.target = self.random.uniform(18.0, 22.0)
        self.heater_on = 0
        self.steps = 0
        return {"observation": self.observation(), "info": {}}

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
        return {
            "observation": self.observation(),
            "reward": -distance,
            "terminated": distance > GIVE_UP_DISTANCE,
            "truncated": self.steps >= MAX_STEPS,
            "info": {"steps": self.steps},
        }

    def observation(self):
        return {
            "temperature": [round(self.temperature, 3)],
            "target": [round(self.target, 3)],
            "heater_on": self.heater_on,
        }


def answer(request, world):
    op = request["op"]
    if op == "make":
        return {}, Thermostat(request.get("env_init") or {})
    if op == "sensor_space":
        return SENSOR_SPACE, world
    if op == "action_space":
        return ACTION_SPACE, world
    if world is None:
        raise RuntimeError(f"'{op}' before 'make'")
    if op == "reset":
        return world.reset(request.get("seed")), world
    if op == "step":
        return world.step(request["action"]), world
    if op == "close":
        return {}, None
    raise ValueError(f"unknown op {op!r}")


def main():
    print("thermostat sim started", file=sys.stderr, flush=True)
    world = None
    for line in sys.stdin:
        request = json.loads(line)
        reply = {"id": request.get("id")}
        try:
            reply["result"], world = answer(request, world)
        except Exception as error:
            reply["error"] = str(error)
        print(json.dumps(reply), flush=True)
        if request.get("op") == "close":
            return


if __name__ == "__main__":
    main()
