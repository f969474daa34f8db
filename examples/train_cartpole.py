#!/usr/bin/env python3
"""Trains a policy for the cart-pole sim through `norva sim run`, with PPO in PyTorch, on a vector
of served environments stepped together.

    norva sim run examples/cartpole --protocol grpc
    python3 examples/train_cartpole.py --address 127.0.0.1:1337 --protocol grpc

Prints the mean return of the episodes that ended in each update. With --expect R it exits 1
unless the last updates' mean return reaches R.
"""
import argparse
import os
import sys
import time

import numpy as np
import torch
from torch import nn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import norva_sim  # noqa: E402


class ActorCritic(nn.Module):
    def __init__(self, observations, actions):
        super().__init__()
        self.policy = nn.Sequential(nn.Linear(observations, 64), nn.Tanh(),
                                    nn.Linear(64, 64), nn.Tanh(), nn.Linear(64, actions))
        self.value = nn.Sequential(nn.Linear(observations, 64), nn.Tanh(),
                                   nn.Linear(64, 64), nn.Tanh(), nn.Linear(64, 1))

    def act(self, observations):
        distribution = torch.distributions.Categorical(logits=self.policy(observations))
        actions = distribution.sample()
        return actions, distribution.log_prob(actions), self.value(observations).squeeze(-1)

    def judge(self, observations, actions):
        distribution = torch.distributions.Categorical(logits=self.policy(observations))
        return (distribution.log_prob(actions), distribution.entropy(),
                self.value(observations).squeeze(-1))


GAMMA = 0.99
# Bootstrapped truncations put values near 1 / (1 - GAMMA) into single rewards; a lighter value
# loss keeps them from drowning the policy's share of the clipped gradient.
VALUE_WEIGHT = 0.25


def advantages_of(rewards, values, dones, last_value, gamma=GAMMA, lam=0.95):
    """Generalised advantage estimates over a rollout of shape (steps, envs)."""
    advantages = torch.zeros_like(rewards)
    running = torch.zeros_like(last_value)
    for t in reversed(range(len(rewards))):
        following = last_value if t == len(rewards) - 1 else values[t + 1]
        delta = rewards[t] + gamma * following * (1 - dones[t]) - values[t]
        running = delta + gamma * lam * (1 - dones[t]) * running
        advantages[t] = running
    return advantages


def train(args):
    torch.manual_seed(args.seed)
    np.random.seed(args.seed)
    envs = norva_sim.VectorEnv(args.address, args.envs, "cartpole", protocol=args.protocol)
    model = ActorCritic(envs.single_observation_space.shape[0],
                        envs.single_action_space.description["n"])
    optimiser = torch.optim.Adam(model.parameters(), lr=args.learning_rate)
    observations, _ = envs.reset(seed=args.seed)
    returns_so_far = np.zeros(args.envs)
    history = []
    started = time.monotonic()
    with envs:
        for update in range(1, args.updates + 1):
            batch = {key: [] for key in ("observations", "actions", "log_probs", "values",
                                         "rewards", "dones")}
            finished = []
            for _ in range(args.steps):
                state = torch.as_tensor(observations, dtype=torch.float32)
                with torch.no_grad():
                    actions, log_probs, values = model.act(state)
                observations, rewards, terminations, truncations, infos = envs.step(
                    actions.tolist())
                returns_so_far += rewards
                done = terminations | truncations
                rewards = torch.as_tensor(rewards, dtype=torch.float32)
                # A truncated episode goes on beyond the cut: its last observation's value stands
                # in for the rest, while the next observation is already a new episode's.
                cut = truncations & infos.get("_final_observation", np.zeros_like(done))
                if cut.any():
                    final = infos["final_observation"][cut].astype(np.float32)
                    with torch.no_grad():
                        rewards[cut] += GAMMA * model.value(
                            torch.as_tensor(final)).squeeze(-1)
                for slot in np.flatnonzero(done):
                    finished.append(returns_so_far[slot])
                    returns_so_far[slot] = 0
                for key, value in (("observations", state), ("actions", actions),
                                   ("log_probs", log_probs), ("values", values),
                                   ("rewards", rewards),
                                   ("dones", torch.as_tensor(done, dtype=torch.float32))):
                    batch[key].append(value)
            with torch.no_grad():
                last_value = model.value(torch.as_tensor(observations,
                                                         dtype=torch.float32)).squeeze(-1)
            rollout = {key: torch.stack(value) for key, value in batch.items()}
            advantages = advantages_of(rollout["rewards"], rollout["values"], rollout["dones"],
                                       last_value)
            targets = advantages + rollout["values"]
            flat = {key: value.reshape(-1, *value.shape[2:]) for key, value in rollout.items()}
            flat_advantages = advantages.reshape(-1)
            flat_targets = targets.reshape(-1)
            size = len(flat_advantages)
            for _ in range(args.epochs):
                for chunk in torch.randperm(size).split(size // 4):
                    log_probs, entropy, values = model.judge(flat["observations"][chunk],
                                                             flat["actions"][chunk])
                    advantage = flat_advantages[chunk]
                    advantage = (advantage - advantage.mean()) / (advantage.std() + 1e-8)
                    ratio = torch.exp(log_probs - flat["log_probs"][chunk])
                    policy_loss = -torch.min(ratio * advantage,
                                             ratio.clamp(0.8, 1.2) * advantage).mean()
                    value_loss = (flat_targets[chunk] - values).pow(2).mean()
                    loss = policy_loss + VALUE_WEIGHT * value_loss - 0.01 * entropy.mean()
                    optimiser.zero_grad()
                    loss.backward()
                    nn.utils.clip_grad_norm_(model.parameters(), 0.5)
                    optimiser.step()
            mean = float(np.mean(finished)) if finished else float("nan")
            history.append(mean)
            print(f"update {update:3d}: mean return {mean:6.1f} over {len(finished):3d} episodes "
                  f"({time.monotonic() - started:5.1f} s)", flush=True)
    return history


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", default="127.0.0.1:1337")
    parser.add_argument("--protocol", default="grpc", choices=["grpc", "http"])
    parser.add_argument("--envs", type=int, default=8)
    parser.add_argument("--updates", type=int, default=40)
    parser.add_argument("--steps", type=int, default=128, help="steps per env in each update")
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--learning-rate", type=float, default=2.5e-3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--expect", type=float, help="the last updates' mean return to reach")
    args = parser.parse_args()
    history = train(args)
    first, last = history[0], float(np.nanmean(history[-3:]))
    print(f"mean return: {first:.1f} at first, {last:.1f} at the end")
    if args.expect is not None and not last >= args.expect:
        print(f"the policy did not learn: {last:.1f} < {args.expect:g}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
