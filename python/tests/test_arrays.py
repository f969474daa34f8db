"""What a VectorEnv hands out, as Gymnasium's code expects it: arrays of the caller's own, a
failed slot's real last observation, final observations stacked as observations are, the
attributes Gymnasium's wrappers read and samples of its shapes; over each protocol, packed and
in JSON, in lock-step and with a batch_size."""
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import norva_sim  # noqa: E402
import numpy  # noqa: E402
from served import Server, same  # noqa: E402

PUSH = [0.5, 0.0]
# Reset with seed 10, slot 1 is seeded 11, the test simulator's crash_seed below: its process
# ends at its first step. Seed 11 starts at (-5, 1).
SLOT_1_START = [-5.0, 1.0]


class VectorArraysTest:
    protocol = None

    def setUp(self):
        self.server = Server(self.protocol)
        self.addCleanup(self.server.stop)

    def vector(self, count, **options):
        envs = norva_sim.VectorEnv(self.server.address, count, protocol=self.protocol, **options)
        self.addCleanup(envs.close)
        return envs

    def assert_writable(self, *arrays):
        for array in arrays:
            self.assertTrue(array.flags.writeable)
            array[...] = array

    def test_arrays_are_the_callers_and_a_failed_slot_gives_its_real_last_observation(self):
        for packed in (True, False):
            with self.subTest(packed=packed):
                envs = self.vector(3, env_init={"crash_seed": 11}, packed=packed)
                self.assertEqual(envs._packed, packed)
                observations, _ = envs.reset(seed=10)
                # A caller that normalises in place.
                observations["position"] += 100
                observations["gear"][:] = 2
                observations, rewards, terminated, truncated, infos = envs.step([PUSH] * 3)
                self.assertEqual(truncated.tolist(), [False, True, False])
                self.assertEqual(observations["position"][1].tolist(), SLOT_1_START)
                self.assertEqual(observations["gear"][1], 0)
                self.assert_writable(observations["position"], observations["gear"], rewards,
                                     terminated, truncated, infos["_error"])
                observations["position"] -= 1
                again = envs.step([PUSH] * 3)[0]
                self.assertEqual(again["position"][1].tolist(), [0.0, 0.0],
                                 "the slot's new simulator starts at the origin")

    def test_with_a_batch_size_a_failed_row_gives_its_environments_last_observation(self):
        for packed in (True, False):
            with self.subTest(packed=packed):
                envs = self.vector(3, env_init={"crash_seed": 11}, packed=packed, batch_size=3)
                observations, _ = envs.reset(seed=10)
                observations["position"] *= 0
                observations, rewards, _, truncated, infos = envs.step(numpy.asarray([PUSH] * 3))
                row = infos["env_id"].tolist().index(1)
                self.assertTrue(truncated[row])
                self.assertEqual(observations["position"][row].tolist(), SLOT_1_START)
                self.assert_writable(observations["position"], observations["gear"], rewards)
                observations["position"] += 1

    def test_final_observations_are_stacked_as_observations_are(self):
        # Seed 10's episode ends at the third step, seed 11's later.
        for packed in (True, False):
            with self.subTest(packed=packed):
                envs = self.vector(2, packed=packed)
                listed = self.vector(2, packed=packed, infos="list")
                envs.reset(seed=10)
                listed.reset(seed=10)
                for _ in range(3):
                    observations, _, terminated, _, infos = envs.step([PUSH] * 2)
                    expected = listed.step([PUSH] * 2)[4]
                self.assertEqual(terminated.tolist(), [True, False])
                self.assertEqual(infos["_final_observation"].tolist(), [True, False])
                finals = infos["final_observation"]
                self.assertEqual((finals["position"].shape, finals["position"].dtype),
                                 ((2, 2), numpy.float32))
                self.assertEqual((finals["gear"].shape, finals["gear"].dtype),
                                 ((2,), numpy.int64))
                self.assertEqual(finals["position"][0].tolist(),
                                 expected[0]["final_observation"]["position"].tolist())
                self.assertNotEqual(finals["position"][0].tolist(),
                                    observations["position"][0].tolist())
                self.assertEqual(finals["position"][1].tolist(), [0.0, 0.0])
                self.assert_writable(finals["position"])

    def test_gymnasiums_attributes_and_samples(self):
        envs = self.vector(3, autoreset="next-step")
        self.assertEqual(envs.metadata["autoreset_mode"], "next-step")
        self.assertIsNone(envs.render_mode)
        self.assertIsNone(envs.spec)
        self.assertIs(envs.unwrapped, envs)
        self.assertFalse(envs.closed)
        envs.reset(seed=5)
        drawn = envs.np_random.integers(1 << 30, size=4).tolist()
        envs.reset(seed=5)
        self.assertEqual(envs.np_random.integers(1 << 30, size=4).tolist(), drawn)
        self.assertEqual(envs.action_space.seed(4), [4])
        actions = envs.action_space.sample()
        self.assertEqual((actions.shape, actions.dtype), ((3, 2), numpy.float32))
        envs.action_space.seed(4)
        self.assertEqual(envs.action_space.sample().tolist(), actions.tolist())
        observations = envs.observation_space.sample()
        self.assertEqual(observations["position"].shape, (3, 2))
        self.assertEqual((observations["gear"].shape, observations["gear"].dtype),
                         ((3,), numpy.int64))
        self.assertTrue(envs.observation_space.contains(observations))
        self.assertEqual(envs.step(actions)[0]["position"].shape, (3, 2))
        envs.close()
        self.assertTrue(envs.closed)


class GrpcVectorArraysTest(VectorArraysTest, unittest.TestCase):
    protocol = "grpc"


class HttpVectorArraysTest(VectorArraysTest, unittest.TestCase):
    protocol = "http"


class SampleTest(unittest.TestCase):
    def test_samples_are_numpy_values_of_each_spaces_dtype_and_shape(self):
        space = norva_sim.Space({"type": "dict", "spaces": {
            "box": {"type": "box", "low": [0, -1], "high": 1, "shape": [2], "dtype": "float64"},
            "level": {"type": "box", "low": 0, "high": 255, "shape": [2, 2], "dtype": "uint8"},
            "free": {"type": "box", "low": -1e400, "high": 1e400, "shape": [3]},
            "gear": {"type": "discrete", "n": 3, "start": 1},
            "keys": {"type": "multi_binary", "n": 4},
            "pair": {"type": "tuple", "spaces": [{"type": "multi_discrete", "nvec": [2, 3]}]}}})
        batch = norva_sim.spaces.batched(space, 5)
        for each, rows in ((space, ()), (batch, (5,))):
            seeds = each.seed(7)
            self.assertEqual(seeds[0], 7)
            value = each.sample()
            self.assertTrue(each.contains(value))
            self.assertEqual({key: (value[key].shape, value[key].dtype)
                              for key in ("box", "level", "free", "gear", "keys")},
                             {"box": (rows + (2,), numpy.float64),
                              "level": (rows + (2, 2), numpy.uint8),
                              "free": (rows + (3,), numpy.float32),
                              "gear": (rows, numpy.int64), "keys": (rows + (4,), numpy.int8)})
            self.assertIsInstance(value["pair"], tuple)
            self.assertEqual(value["pair"][0].shape, rows + (2,))
            each.seed(7)
            self.assertTrue(same(each.sample(), value))
            self.assertTrue(same(each.sample(random.Random(3)), each.sample(random.Random(3))))
        gears = norva_sim.spaces.batched(space.spaces["gear"], 200).sample()
        self.assertEqual(sorted(set(gears.tolist())), [1, 2, 3])


if __name__ == "__main__":
    unittest.main()
