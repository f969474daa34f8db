#!/usr/bin/env python3
"""Cart-pole, the classic control task, as a norva sim: push the cart left (0) or right (1) to
keep the pole upright. Every step the pole stays up is worth 1; an episode ends when the pole
falls past 12 degrees or the cart leaves the track, and is cut short after 200 steps.

An environment with Gymnasium's signatures; norva_sim.worker speaks norva's worker protocol for
it (docs/protocol.md).
"""
import math
import os
from array import array
import random
import sys

try:
    import norva_sim.worker
except ImportError:
    # Run from a checkout, where the Python package is not installed.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                    "python"))
    import norva_sim.worker

GRAVITY, CART_MASS, POLE_MASS, POLE_HALF_LENGTH = 9.8, 1.0, 0.1, 0.5
FORCE, SECONDS_PER_STEP, MAX_STEPS = 10.0, 0.02, 200
FALLEN_ANGLE, TRACK_END = 12 * 2 * math.pi / 360, 2.4

SENSOR_SPACE = {"type": "box", "shape": [4], "dtype": "float32",
                "low": [-4.8, -10.0, -0.42, -10.0], "high": [4.8, 10.0, 0.42, 10.0]}
ACTION_SPACE = {"type": "discrete", "n": 2}


class CartPole:
    observation_space = SENSOR_SPACE
    action_space = ACTION_SPACE

    def __init__(self):
        self.random = random.Random()
        self.state = [0.0, 0.0, 0.0, 0.0]
        self.steps = 0

    def reset(self, seed=None, options=None):
        if seed is not None:
            self.random.seed(seed)
        self.state = [self.random.uniform(-0.05, 0.05) for _ in range(4)]
        self.steps = 0
        return self.observation(), {}

    def step(self, action):
        if action not in (0, 1):
            raise ValueError(f"the action is 0 (left) or 1 (right), not {action!r}")
        x, x_dot, theta, theta_dot = self.state
        force = FORCE if action == 1 else -FORCE
        total_mass = CART_MASS + POLE_MASS
        cos, sin = math.cos(theta), math.sin(theta)
        temp = (force + POLE_MASS * POLE_HALF_LENGTH * theta_dot ** 2 * sin) / total_mass
        theta_acc = (GRAVITY * sin - cos * temp) / (
            POLE_HALF_LENGTH * (4.0 / 3.0 - POLE_MASS * cos ** 2 / total_mass))
        x_acc = temp - POLE_MASS * POLE_HALF_LENGTH * theta_acc * cos / total_mass
        x += SECONDS_PER_STEP * x_dot
        x_dot += SECONDS_PER_STEP * x_acc
        theta += SECONDS_PER_STEP * theta_dot
        theta_dot += SECONDS_PER_STEP * theta_acc
        self.state = [x, x_dot, theta, theta_dot]
        self.steps += 1
        fallen = abs(x) > TRACK_END or abs(theta) > FALLEN_ANGLE
        return self.observation(), 1.0, fallen, not fallen and self.steps >= MAX_STEPS, {}

    def observation(self):
        x, x_dot, theta, theta_dot = self.state
        clipped = [max(-4.8, min(4.8, x)), max(-10.0, min(10.0, x_dot)),
                   max(-0.42, min(0.42, theta)), max(-10.0, min(10.0, theta_dot))]
        # The state is computed in float64 and the space declares float32: the trainer gets
        # the numbers a float32 holds, so those are the ones to answer.
        return array("f", clipped).tolist()


if __name__ == "__main__":
    norva_sim.worker.run(lambda env_id, env_init: CartPole())
