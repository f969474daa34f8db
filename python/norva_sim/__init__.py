"""A client of the simulators `norva sim run` serves, with Gymnasium's signatures.

    import norva_sim
    with norva_sim.Env("127.0.0.1:1337", "thermo") as env:
        observation, info = env.reset(seed=3)
        observation, reward, terminated, truncated, info = env.step(env.action_space.sample())

gRPC, the default as `norva sim run` serves it, needs grpcio and protobuf; protocol="http" needs
only the standard library. Observations of box spaces are numpy arrays when numpy can be
imported, nested lists otherwise. docs/python-client.md tells the rest.
"""
from .env import Env, VectorEnv
from .errors import NorvaError, ServerError, Unreachable
from .spaces import Space

__all__ = ["Env", "VectorEnv", "Space", "NorvaError", "ServerError", "Unreachable"]
