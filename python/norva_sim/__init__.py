"""A client of the simulators `norva sim run` serves, with Gymnasium's signatures.

    import norva_sim
    with norva_sim.Env("127.0.0.1:1337", "thermo") as env:
        observation, info = env.reset(seed=3)
        observation, reward, terminated, truncated, info = env.step(env.action_space.sample())

gRPC, the default as `norva sim run` serves it, needs grpcio and protobuf; protocol="http" needs
only the standard library. Observations of box spaces are numpy arrays when numpy can be
imported, nested lists otherwise. docs/python-client.md tells the rest.
"""
import importlib

# Loaded when first named, so that a simulator importing norva_sim.worker does not wait for the
# client (and numpy) at every start.
_HOMES = {"Env": "env", "VectorEnv": "vector", "Space": "spaces", "NorvaError": "errors",
          "ServerError": "errors", "Unreachable": "errors"}

__all__ = list(_HOMES)


def __getattr__(name):
    if name not in _HOMES:
        raise AttributeError(f"module 'norva_sim' has no attribute {name!r}")
    return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)


def __dir__():
    return sorted(list(globals()) + __all__)
