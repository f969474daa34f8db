"""Packed vector answers (docs/protocol.md): each leaf of the observations as one array of N
rows, read with numpy.frombuffer from the message's bytes, never value by value."""
import json

import numpy

from ._results import results_of


def _dtype(name):
    return numpy.dtype(name).newbyteorder("<")


def array_of(tensor):
    """A message's tensor as a numpy array: a read-only view of its bytes."""
    return numpy.frombuffer(tensor.data, dtype=_dtype(tensor.dtype)).reshape(tuple(tensor.shape))


def _joined(prefix, part):
    return f"{prefix}.{part}" if prefix else part


def assembled(space, arrays, prefix=""):
    """The leaves' arrays in the shape of the space: a dict's key by key, a tuple's place by
    place, as Gymnasium batches them."""
    if space.type == "dict":
        return {key: assembled(item, arrays, _joined(prefix, key))
                for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(assembled(item, arrays, _joined(prefix, str(index)))
                     for index, item in enumerate(space.spaces))
    return arrays[prefix]


def row_of(space, arrays, row, prefix=""):
    """One slot's value from the leaves' arrays."""
    if space.type == "dict":
        return {key: row_of(item, arrays, row, _joined(prefix, key))
                for key, item in space.spaces.items()}
    if space.type == "tuple":
        return tuple(row_of(item, arrays, row, _joined(prefix, str(index)))
                     for index, item in enumerate(space.spaces))
    value = arrays[prefix][row]
    # A discrete's value as the number JSON would have given.
    return value.copy() if value.ndim else value.item()


# The dtype of each kind of leaf in tensors, as the server packs them.
LEAF_DTYPES = {"discrete": "int64", "multi_discrete": "int64", "multi_binary": "int8"}


def leaf_dtype(space):
    """The dtype a space of one leaf travels in; None for a dict or a tuple."""
    if space.type == "box":
        return space.description.get("dtype", "float32")
    return LEAF_DTYPES.get(space.type)


def answers_of(reply, step):
    """A vector call's JsonReply: the results as JSON gives them, or a PackedAnswer when the
    vector was made packed (a server that does not pack answers JSON)."""
    if reply.HasField("packed"):
        return PackedAnswer(reply.packed, step)
    return results_of(json.loads(reply.json))


def tensor_message(messages, array):
    """A numpy array as the protocol's Tensor, its bytes little-endian."""
    little = array.astype(array.dtype.newbyteorder("<"), copy=False)
    return messages.Tensor(dtype=array.dtype.name, shape=array.shape, data=little.tobytes())


class PackedAnswer:
    """A packed reset's or step's answer: arrays of N rows, the infos, and the failed slots."""

    def __init__(self, reply, step):
        self.observations = {tensor.name: array_of(tensor) for tensor in reply.observations}
        self.answered = array_of(reply.answered).astype(bool)
        count = len(self.answered)
        if step:
            self.rewards = array_of(reply.rewards).copy()
            self.terminated = array_of(reply.terminated).astype(bool)
            self.truncated = array_of(reply.truncated).astype(bool)
        infos = json.loads(reply.infos_json) if reply.infos_json else [None] * count
        self.infos = [info if info.__class__ is dict else {} for info in infos]
        self.finals = None
        if reply.HasField("final_mask"):
            self.final_mask = array_of(reply.final_mask).astype(bool)
            self.finals = {tensor.name: array_of(tensor) for tensor in reply.final_observations}
        self.failures = {failure.slot: {"error": failure.error, "kind": failure.kind or None}
                         for failure in reply.failures}
        # With a batch_size: the environment of each row.
        self.env_ids = list(reply.env_ids)
