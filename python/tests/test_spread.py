"""One vector over several servers, beside the same vector on one server: answers as one
vector's, a server's failure failing its own slots for that call, and its share made again,
on that server back on its address, at the next step (with autoreset) or reset."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import norva_sim  # noqa: E402
import numpy  # noqa: E402
from served import Server, same  # noqa: E402

PUSHES = numpy.asarray([[0.25, -0.5]] * 4)


class SpreadVectorTest:
    protocol = None

    def serve(self):
        server = Server(self.protocol)
        self.addCleanup(server.stop)
        return server

    def vector(self, address, count=4, **options):
        # A killed server's stream is given up within the time limit at most, however grpcio
        # takes the server's going.
        envs = norva_sim.VectorEnv(address, count, protocol=self.protocol, timeout=10, **options)
        self.addCleanup(envs.close)
        return envs

    def test_a_killed_server_fails_its_slots_until_it_is_back_on_its_address(self):
        first, second = self.serve(), self.serve()
        spread = self.vector([first.address, second.address], 5)
        alone = self.vector(first.address, 5)
        self.assertEqual((first.open_sessions(), second.open_sessions()), (8, 2))
        self.assertEqual(len(spread.session_ids), 5)
        self.assertEqual(spread.metadata["autoreset_mode"], "same-step")
        self.assertTrue(same(spread.reset(seed=10), alone.reset(seed=10)))
        pushes = numpy.asarray([[0.25, -0.5]] * 5)
        for _ in range(7):
            self.assertTrue(same(spread.step(pushes), alone.step(pushes)))
        last = spread.step(pushes)[0]["position"]
        alone.step(pushes)
        second.kill()
        observations, rewards, _, truncated, infos = spread.step(pushes)
        self.assertEqual(truncated.tolist(), [False, False, False, True, True])
        self.assertEqual(infos["_error"].tolist(), [False, False, False, True, True])
        self.assertIn(second.address, infos["error"][3])
        self.assertEqual(infos["kind"][3], "unreachable")
        self.assertEqual(observations["position"][3:].tolist(), last[3:].tolist())
        self.assertEqual(rewards[3:].tolist(), [0.0, 0.0])
        self.assertTrue(same(observations["position"][:3], alone.step(pushes)[0]["position"][:3]))
        # While it is away, each step finds it away.
        self.assertEqual(spread.step(pushes)[3].tolist(), [False, False, False, True, True])
        alone.step(pushes)
        second.start()
        observations, rewards, terminated, truncated, infos = spread.step(pushes)
        self.assertEqual(truncated.tolist(), [False] * 5)
        self.assertNotIn("_error", infos)
        self.assertEqual(observations["position"][3:].tolist(), [[0.0, 0.0]] * 2,
                         "its slots start new episodes at the step after it came back")
        self.assertEqual((rewards[3:].tolist(), terminated[3:].tolist()), ([0.0] * 2, [False] * 2))
        self.assertEqual(second.open_sessions(), 2)
        self.assertTrue(same(spread.reset(seed=10), alone.reset(seed=10)))
        self.assertTrue(same(spread.step(pushes), alone.step(pushes)))
        spread.close()
        self.assertTrue(spread.closed)
        self.assertEqual((first.open_sessions(), second.open_sessions()), (5, 0))

    def test_without_autoreset_a_failed_share_is_made_again_at_the_next_reset(self):
        first, second = self.serve(), self.serve()
        spread = self.vector([first.address, second.address], autoreset="disabled")
        alone = self.vector(first.address, autoreset="disabled")
        spread.reset(seed=10)
        second.kill()
        observations, _, _, truncated, _ = spread.step(PUSHES)
        self.assertEqual(truncated.tolist(), [False, False, True, True])
        second.start()
        held, rewards, _, truncated, infos = spread.step(PUSHES)
        self.assertEqual(truncated.tolist(), [False] * 4)
        self.assertEqual(rewards[2:].tolist(), [0.0, 0.0])
        self.assertNotIn("_error", infos)
        self.assertEqual(held["position"][2:].tolist(), observations["position"][2:].tolist())
        self.assertEqual(second.open_sessions(), 0, "nothing is made before the reset")
        self.assertTrue(same(spread.reset(seed=10), alone.reset(seed=10)))
        self.assertEqual(second.open_sessions(), 2)
        self.assertTrue(same(spread.step(PUSHES), alone.step(PUSHES)))

    def test_a_refused_action_raises_and_every_server_steps_on(self):
        first, second = self.serve(), self.serve()
        spread = self.vector([first.address, second.address])
        spread.reset(seed=10)
        with self.assertRaises(norva_sim.ServerError) as refused:
            spread.step([[0.1, 0.1]] * 2 + [[0.1, 0.1, 0.1]] * 2)
        self.assertEqual(refused.exception.kind, "invalid")
        _, _, _, truncated, infos = spread.step(PUSHES)
        self.assertEqual(truncated.tolist(), [False] * 4)
        self.assertNotIn("_error", infos)
        self.assertEqual(second.open_sessions(), 2)

    def test_on_failure_raise_finishes_every_servers_call_and_recovers_at_a_reset(self):
        first, second = self.serve(), self.serve()
        # The second server's simulators take a while to step, the killed first fails at once.
        spread = self.vector([first.address, second.address], on_failure="raise",
                             env_init={"step_ms": 300})
        alone = self.vector(second.address, env_init={"step_ms": 300})
        spread.reset(seed=10)
        first.kill()
        with self.assertRaises(norva_sim.Unreachable):
            spread.step(PUSHES)
        self.assertEqual(second.metric("norva_sim_steps_total"), 2,
                         "the raise waited for the second server's answer")
        with self.assertRaises(norva_sim.Unreachable):
            spread.reset(seed=10)
        first.start()
        self.assertTrue(same(spread.reset(seed=10), alone.reset(seed=10)))


class GrpcSpreadVectorTest(SpreadVectorTest, unittest.TestCase):
    protocol = "grpc"


class HttpSpreadVectorTest(SpreadVectorTest, unittest.TestCase):
    protocol = "http"


if __name__ == "__main__":
    unittest.main()
