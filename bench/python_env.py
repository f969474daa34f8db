"""An environment of a few lines of arithmetic a step, as a Python author writes one: norva serves
it through norva_sim.worker when it runs as a program, and the Pipe-worker peer of
python_peers.py imports the same class."""
import math

EPISODE_LENGTH = 100


class Drift:
    observation_space = {"type": "box", "low": -1000.0, "high": 1000.0, "shape": [4]}
    action_space = {"type": "box", "low": -1.0, "high": 1.0, "shape": [2]}

    def reset(self, seed=None, options=None):
        self.x = self.y = self.vx = self.vy = 0.0
        self.t = 0
        return [self.x, self.y, self.vx, self.vy], {}

    def step(self, action):
        self.vx = 0.9 * self.vx + 0.1 * action[0]
        self.vy = 0.9 * self.vy + 0.1 * action[1]
        self.x += self.vx
        self.y += self.vy
        self.t += 1
        return ([self.x, self.y, self.vx, self.vy], -math.hypot(self.x, self.y), False,
                self.t >= EPISODE_LENGTH, {})


if __name__ == "__main__":
    import norva_sim.worker

    norva_sim.worker.run(lambda env_id, env_init: Drift())
