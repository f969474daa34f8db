"""The Python client against a real `norva sim run` of the test simulator, on both protocols."""
import http.client
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import norva_sim  # noqa: E402
import numpy  # noqa: E402
from served import NORVA, Server, same  # noqa: E402

PROTO = os.path.join(os.path.dirname(__file__), "..", "..", "proto", "sim.proto")


class ClientTest:
    """The same tests over each protocol."""
    protocol = None

    def setUp(self):
        self.server = Server(self.protocol)
        self.addCleanup(self.server.stop)

    def env(self, **options):
        return norva_sim.Env(self.server.address, "env", protocol=self.protocol, **options)

    def test_every_call_of_a_session(self):
        with self.env() as env:
            self.assertEqual(env.action_space.type, "box")
            self.assertEqual(env.action_space.shape, (2,))
            self.assertEqual(list(env.observation_space.spaces), ["position", "gear"])
            observation, info = env.reset()
            self.assertTrue(env.observation_space.contains(observation))
            self.assertEqual(info["env_id"], "env")
            observation, reward, terminated, truncated, info = env.step([0.5, -0.5])
            self.assertEqual(observation["position"].tolist(), [0.5, -0.5])
            self.assertIsInstance(reward, float)
            self.assertIs(terminated, False)
            self.assertIs(truncated, False)
            self.assertTrue(env.action_space.contains(env.action_space.sample()))
            if norva_sim.env.numpy is not None:
                action = norva_sim.env.numpy.array([0.25, 0.25], dtype="float32")
                self.assertTrue(env.action_space.contains(action))
                self.assertEqual(env.step(action)[0]["position"].tolist(), [0.75, -0.25])
        plain = self.env(use_numpy=False)
        self.addCleanup(plain.close)
        self.assertEqual(plain.reset()[0]["position"], [0.0, 0.0])

    def test_errors_carry_the_servers_message_and_kind(self):
        with self.env() as env:
            env.reset()
            with self.assertRaises(norva_sim.ServerError) as refused:
                env.step([0.5])
            self.assertEqual(refused.exception.kind, "invalid")
            self.assertIn("does not fit the action space", str(refused.exception))
            if self.protocol == "http":
                self.assertEqual(refused.exception.status, 400)
            else:
                self.assertEqual(refused.exception.code, "INVALID_ARGUMENT")
            self.assertEqual(env.step([0.25, 0.25])[0]["position"].tolist(), [0.25, 0.25])
            session = env.session_id
        gone = self.env()
        self.addCleanup(gone.close)
        gone._session = session
        with self.assertRaises(norva_sim.ServerError) as missing:
            gone.reset()
        self.assertEqual(missing.exception.kind, "not_found")

    def test_the_same_seed_gives_the_same_observations(self):
        with self.env() as first, self.env() as second:
            self.assertEqual(first.reset(seed=4)[0]["position"].tolist(),
                             second.reset(seed=4)[0]["position"].tolist())
            self.assertNotEqual(first.reset(seed=5)[0]["position"].tolist(),
                                second.reset(seed=4)[0]["position"].tolist())

    def vector(self, count, **options):
        return norva_sim.VectorEnv(self.server.address, count, "env", protocol=self.protocol,
                                   **options)

    def test_a_vector_steps_together_and_resets_what_ended(self):
        with self.vector(4) as envs:
            self.assertEqual(envs.observation_space.spaces["position"].shape, (4, 2))
            self.assertEqual(envs.observation_space.spaces["gear"].nvec.tolist(), [3] * 4)
            self.assertEqual(envs.action_space.shape, (4, 2))
            observations, infos = envs.reset(seed=numpy.int64(3))
            self.assertEqual(observations["position"].shape, (4, 2))
            self.assertEqual(infos["seed"].tolist(), [3, 4, 5, 6])
            self.assertEqual(infos["_seed"].tolist(), [True] * 4)
            ended = 0
            for _ in range(12):
                observations, rewards, terminations, truncations, infos = envs.step(
                    [[0.1, 0.1]] * 4)
                self.assertEqual(rewards.shape, (4,))
                done = terminations | truncations
                ended += int(done.sum())
                if done.any():
                    self.assertEqual(infos["_final_observation"].tolist(), done.tolist())
                    slot = int(done.argmax())
                    final = infos["final_observation"]["position"][slot]
                    self.assertEqual(final.dtype, numpy.float32)
            self.assertGreater(ended, 0)
            self.assertEqual(self.server.open_sessions(), 4)
        self.assertEqual(self.server.open_sessions(), 0)

    def test_a_crashed_simulator_truncates_its_slot_and_the_others_go_on(self):
        # Simulator 1 is reset with seed 11, which makes it end at its next step.
        with self.vector(3, env_init={"crash_seed": 11}) as envs:
            envs.reset(seed=10)
            before = envs.step([[0.5, 0.0]] * 3)
            observations, rewards, terminations, truncations, infos = before
            self.assertEqual(truncations.tolist(), [False, True, False])
            self.assertEqual(infos["_error"].tolist(), [False, True, False])
            self.assertIn("exit status 3", infos["error"][1])
            self.assertEqual(infos["kind"][1], "failed")
            self.assertEqual(rewards[1], 0.0)
            # The next step gives the slot a new simulator, whose episode starts at the origin.
            observations, rewards, terminations, truncations, infos = envs.step([[0.5, 0.0]] * 3)
            self.assertEqual(observations["position"][1].tolist(), [0.0, 0.0])
            self.assertEqual(truncations.tolist(), [False, False, False])
            self.assertEqual(observations["position"][2].tolist(), [-3.0, 2.0])
        with self.vector(3, env_init={"crash_seed": 11}, on_failure="raise") as envs:
            envs.reset(seed=10)
            with self.assertRaises(norva_sim.ServerError) as failed:
                envs.step([[0.5, 0.0]] * 3)
            self.assertIn("simulator 1 of the vector", str(failed.exception))

    def test_autoreset_next_step_and_disabled(self):
        # Seed 10's episode is three steps long.
        with self.vector(2, autoreset="next-step") as envs:
            envs.reset(seed=10)
            for _ in range(2):
                envs.step([[0.5, 0.0]] * 2)
            observations, rewards, terminations, _, infos = envs.step([[0.5, 0.0]] * 2)
            self.assertEqual(terminations.tolist(), [True, False])
            self.assertNotIn("final_observation", infos)
            observations, rewards, terminations, _, _ = envs.step([[0.5, 0.0]] * 2)
            self.assertEqual(observations["position"][0].tolist(), [0.0, 0.0])
            self.assertEqual((rewards[0], terminations[0]), (0.0, False))
            self.assertEqual(envs.step([[0.5, 0.0]] * 2)[0]["position"][0].tolist(), [0.5, 0.0])
        with self.vector(2, autoreset="disabled") as envs:
            envs.reset(seed=10)
            for _ in range(3):
                observations = envs.step([[0.5, 0.0]] * 2)[0]
            ended = observations["position"][0].tolist()
            held = envs.step([[0.5, 0.0]] * 2)[0]
            self.assertEqual(held["position"][0].tolist(), ended)
            self.assertNotEqual(held["position"][1].tolist(), observations["position"][1].tolist())
            observations, infos = envs.reset(options={"reset_mask": [True, False]})
            self.assertEqual(observations["position"][0].tolist(), [0.0, 0.0])
            self.assertEqual(observations["position"][1].tolist(), held["position"][1].tolist())
            self.assertEqual(infos["_env_id"].tolist(), [True, False])

    def test_a_killed_client_leaves_no_simulator_behind(self):
        script = (f"import sys; sys.path.insert(0, {os.path.dirname(norva_sim.__path__[0])!r})\n"
                  "import norva_sim\n"
                  f"envs = norva_sim.VectorEnv({self.server.address!r}, 3, "
                  f"protocol={self.protocol!r})\n"
                  "env = norva_sim.Env(envs_address := " + repr(self.server.address) +
                  f", protocol={self.protocol!r})\n"
                  "envs.reset(); envs.step([[0.1, 0.1]] * 3); env.reset(); env.step([0.1, 0.1])\n"
                  "print('ready', flush=True)\n"
                  "import time; time.sleep(60)\n")
        trainer = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                   text=True)
        self.assertEqual(trainer.stdout.readline().strip(), "ready")
        self.assertEqual(self.server.open_sessions(), 4)
        trainer.kill()
        trainer.wait()
        for _ in range(200):
            if self.server.open_sessions() == 0:
                break
            time.sleep(0.05)
        self.assertEqual(self.server.open_sessions(), 0)

    def test_a_client_of_the_other_protocol_is_told_what_to_pass(self):
        other = "http" if self.protocol == "grpc" else "grpc"
        with self.assertRaises(norva_sim.Unreachable) as mismatch:
            norva_sim.Env(self.server.address, protocol=other, timeout=5)
        self.assertIn(f"pass protocol='{self.protocol}'", str(mismatch.exception))

    def test_closing_leaves_no_session_on_the_server(self):
        env = self.env()
        env.reset()
        self.assertEqual(self.server.open_sessions(), 1)
        env.close()
        env.close()
        self.assertEqual(self.server.open_sessions(), 0)

    def test_a_server_that_goes_away_mid_episode_is_a_clear_error(self):
        env = self.env(timeout=5)
        self.addCleanup(env.close)
        env.reset()
        self.server.process.kill()
        self.server.process.wait()
        started = time.monotonic()
        with self.assertRaises(norva_sim.Unreachable) as gone:
            env.step([0.1, 0.1])
        self.assertLess(time.monotonic() - started, 5)
        self.assertIn("cannot reach the sim at " + self.server.address, str(gone.exception))

    def test_a_token_is_sent_when_given_and_never_shown(self):
        token_file = os.path.join(self.server.folder, "token")
        with open(token_file, "w") as out:
            out.write("t0ken\n")
        guarded = Server(self.protocol, "--token-file", token_file)
        self.addCleanup(guarded.stop)
        with self.assertRaises(norva_sim.ServerError) as refused:
            norva_sim.Env(guarded.address, protocol=self.protocol)
        self.assertEqual(refused.exception.kind, "unauthenticated")
        with open(token_file) as source:
            with norva_sim.Env(guarded.address, protocol=self.protocol,
                               token=source.read()) as env:
                env.reset()
                self.assertNotIn("t0ken", repr(env._transport))
        with norva_sim.Env(guarded.address, protocol=self.protocol, token_file=token_file) as env:
            env.reset()
        os.environ["NORVA_SIM_TOKEN"] = "t0ken"
        self.addCleanup(os.environ.pop, "NORVA_SIM_TOKEN")
        with norva_sim.Env(guarded.address, protocol=self.protocol) as env:
            env.reset()
        with self.assertRaises(ValueError) as unsendable:
            norva_sim.Env(guarded.address, protocol=self.protocol, token="t0k\nen")
        self.assertNotIn("t0k", str(unsendable.exception))


class HttpClientTest(ClientTest, unittest.TestCase):
    protocol = "http"


class GrpcClientTest(ClientTest, unittest.TestCase):
    protocol = "grpc"


SHAPES_SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "shapes_sim.py")


class PackedVectorTest:
    """Packed vectors beside the same vectors answered in JSON, on a simulator whose
    observations hold a leaf of every kind and dtype."""
    protocol = None

    def serve(self, kind):
        server = Server(self.protocol, command=["/usr/bin/python3", SHAPES_SIM, kind])
        self.addCleanup(server.stop)
        return server

    def vectors(self, server, count, **options):
        packed = norva_sim.VectorEnv(server.address, count, protocol=self.protocol, **options)
        plain = norva_sim.VectorEnv(server.address, count, protocol=self.protocol, packed=False,
                                    **options)
        self.addCleanup(packed.close)
        self.addCleanup(plain.close)
        self.assertTrue(packed._packed)
        self.assertFalse(plain._packed)
        return packed, plain

    def test_packed_answers_equal_the_json_ones_for_every_kind_of_space(self):
        for kind, action in [("box", [[0.5, -0.25]] * 3), ("discrete", [2, 0, 1]),
                             ("multi_discrete", [[2, 3], [0, 1], [1, 0]]),
                             ("multi_binary", [[1, 0, 1], [0, 0, 0], [1, 1, 1]]),
                             ("dict", [{"push": 1}, {"push": 0}, {"push": 1}])]:
            with self.subTest(kind=kind):
                packed, plain = self.vectors(self.serve(kind), 3)
                self.assertTrue(same(packed.reset(seed=4), plain.reset(seed=4)))
                finals = 0
                for _ in range(12):
                    answer = packed.step(numpy.asarray(action) if kind != "dict" else action)
                    self.assertTrue(same(answer, plain.step(action)), answer)
                    finals += int(answer[4].get("_final_observation", numpy.zeros(3)).sum())
                self.assertEqual(finals, 6, "each episode of 5 steps ended twice in 12")
                observations = answer[0]
                self.assertEqual(observations["position"].dtype, numpy.float64)
                self.assertEqual(observations["level"].dtype, numpy.uint8)
                self.assertEqual(observations["small"].dtype, numpy.float16)
                self.assertEqual(observations["tiny"].dtype, numpy.int8)
                self.assertEqual(observations["parts"][1].dtype, numpy.int8)
                self.assertEqual(observations["position"].shape, (3, 2, 2))

    def test_an_observation_that_does_not_fit_fails_its_slot_and_a_crash_its_own(self):
        packed, plain = self.vectors(self.serve("box"), 3,
                                     env_init={"wrong_shape_at": 2, "crash_seed": 7})
        packed.reset(seed=5)
        plain.reset(seed=5)
        push = [[0.5, 0.5]] * 3
        _, _, _, truncated, infos = packed.step(push)
        # Slot 2 was reset with seed 7: its process ended.
        self.assertEqual(truncated.tolist(), [False, False, True])
        self.assertIn("exit status 3", infos["error"][2])
        _, _, _, truncated, infos = packed.step(push)
        self.assertEqual(truncated.tolist(), [True, True, False])
        self.assertIn("cannot be packed: position: not of the declared shape (2, 2)",
                      infos["error"][0])
        self.assertEqual(infos["kind"][0], "failed")
        plain._transport.step_vector(plain._vector, push)
        results = plain._transport.step_vector(plain._vector, push)
        self.assertEqual(results[0]["observation"]["position"], [5.5, -5.5, 2],
                         "JSON passes such an observation on as it came")
        # The slots go on: the next observations fit again.
        observations, _, _, truncated, _ = packed.step(push)
        self.assertEqual(truncated.tolist(), [False, False, False])
        self.assertEqual(observations["position"][0].tolist(), [[5.75, -5.75], [1.5, 1 / 3]])

    def test_actions_of_the_wrong_shape_or_kind_are_refused_before_any_simulator(self):
        packed, _ = self.vectors(self.serve("box"), 2)
        packed.reset(seed=0)
        for wrong in (numpy.zeros((2, 3)), numpy.zeros((2, 2, 1))):
            with self.assertRaises(norva_sim.ServerError) as refused:
                packed.step(wrong)
            self.assertEqual(refused.exception.kind, "invalid")
            self.assertIn("the actions: the tensor has the shape", str(refused.exception))
        infos = packed.step(numpy.zeros((2, 2)))[4]
        self.assertEqual(infos["t"].tolist(), [1, 1], "no refused step reached a simulator")
        discrete, _ = self.vectors(self.serve("discrete"), 2)
        discrete.reset()
        with self.assertRaises(norva_sim.ServerError) as refused:
            discrete._transport.step_vector(discrete._vector, None, numpy.zeros(2))
        self.assertIn("is float64 where whole numbers (int64) are declared",
                      str(refused.exception))



class GrpcPackedVectorTest(PackedVectorTest, unittest.TestCase):
    protocol = "grpc"

    def test_grpcio_steps_a_packed_vector_with_the_messages_alone(self):
        import grpc
        from norva_sim import sim_pb2
        server = self.serve("discrete")
        service = "/norva.sim.v1.Simulator/"

        def unary(channel, name, request, reply):
            return channel.unary_unary(service + name, type(request).SerializeToString,
                                       reply.FromString)(request, timeout=30)

        with grpc.insecure_channel(server.address) as channel:
            made = unary(channel, "MakeVector", sim_pb2.MakeVectorRequest(num_envs=4, packed=True),
                         sim_pb2.MakeVectorReply)
            reset = unary(channel, "ResetVector",
                          sim_pb2.ResetVectorRequest(vector_id=made.vector_id, seed=1),
                          sim_pb2.JsonReply)
            self.assertEqual(reset.json, "")
            names = [tensor.name for tensor in reset.packed.observations]
            self.assertEqual(names, ["position", "level", "small", "tiny", "gear", "parts.0",
                                     "parts.1"])
            actions = sim_pb2.Tensor(dtype="int64", shape=[4],
                                     data=numpy.asarray([2, 2, 2, 2], "<i8").tobytes())
            stream = channel.stream_stream(service + "StepVector",
                                           sim_pb2.StepVectorRequest.SerializeToString,
                                           sim_pb2.JsonReply.FromString)
            replies = list(stream(iter([sim_pb2.StepVectorRequest(vector_id=made.vector_id,
                                                                 actions=actions)] * 5),
                                  timeout=30))
            last = replies[-1].packed
            rewards = numpy.frombuffer(last.rewards.data, "<f8")
            # Seeds 1..4 start at 1..4; five pushes of 2 / 2 add 5.
            self.assertEqual(rewards.tolist(), [6 / 8, 7 / 8, 8 / 8, 9 / 8])
            self.assertEqual(numpy.frombuffer(last.final_mask.data, "u1").tolist(), [1] * 4)
            final = {tensor.name: tensor for tensor in last.final_observations}
            self.assertEqual(numpy.frombuffer(final["gear"].data, "<i8").tolist(), [0] * 4)
            self.assertEqual(json.loads(last.infos_json)[0], {"t": 0, "final_info": {"t": 5}})


class HttpPackedVectorTest(PackedVectorTest, unittest.TestCase):
    protocol = "http"

    def test_http_client_takes_the_messages_as_bodies_and_json_stays_the_default(self):
        from norva_sim import sim_pb2
        server = self.serve("discrete")
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)

        def post(path, body, headers):
            connection.request("POST", path, body, headers)
            answer = connection.getresponse()
            return answer.status, answer.getheader("Content-Type"), answer.read()

        _, _, made = post("/v1/vectors", json.dumps({"num_envs": 2, "packed": True}), {})
        vector = json.loads(made)["vector_id"]
        status, kind, body = post(f"/v1/vectors/{vector}/reset", json.dumps({"seed": 3}),
                                  {"Accept": "application/json;q=0.5, application/x-protobuf"})
        self.assertEqual((status, kind), (200, "application/x-protobuf"))
        reset = sim_pb2.JsonReply.FromString(body).packed
        gear = {tensor.name: tensor for tensor in reset.observations}["gear"]
        self.assertEqual(gear.shape, [2])
        step = sim_pb2.StepVectorRequest(actions=sim_pb2.Tensor(
            dtype="int64", shape=[2], data=numpy.asarray([2, 0], "<i8").tobytes()))
        status, kind, body = post(f"/v1/vectors/{vector}/step", step.SerializeToString(),
                                  {"Content-Type": "application/x-protobuf",
                                   "Accept": "application/x-protobuf"})
        self.assertEqual(status, 200, body)
        rewards = numpy.frombuffer(sim_pb2.JsonReply.FromString(body).packed.rewards.data, "<f8")
        self.assertEqual(rewards.tolist(), [4 / 8, 4 / 8])
        # Without asking, the same vector answers JSON, as curl and scripts expect.
        status, kind, body = post(f"/v1/vectors/{vector}/step",
                                  json.dumps({"actions": [1, 1]}), {})
        self.assertEqual((status, kind), (200, "application/json"))
        self.assertEqual(len(json.loads(body)["results"]), 2)
        # A body that is no message is refused as JSON errors are.
        status, kind, body = post(f"/v1/vectors/{vector}/step", b"\xff\xff",
                                  {"Content-Type": "application/x-protobuf"})
        self.assertEqual(status, 400)
        self.assertIn("is not a StepVectorRequest message", json.loads(body)["error"])


class BatchSizeTest:
    """A vector made with a batch_size answers the first environments to finish, a slow
    simulator holding back only itself."""
    protocol = None
    packed = True

    def setUp(self):
        self.server = Server(self.protocol)
        self.addCleanup(self.server.stop)

    def vector(self, count=4, batch_size=2, **options):
        envs = norva_sim.VectorEnv(self.server.address, count, protocol=self.protocol,
                                   env_init={"slow_seeds": [1], "slow_ms": 400},
                                   batch_size=batch_size, packed=self.packed, **options)
        self.addCleanup(envs.close)
        return envs

    def test_answers_hold_the_first_to_finish_and_the_next_step_is_for_them(self):
        envs = self.vector()
        self.assertEqual(envs._packed, self.packed)
        envs.reset(seed=0)
        pushes = numpy.asarray([[0.25, 0.25]] * 4)
        seen = []
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            observations, rewards, terminated, truncated, infos = envs.step(pushes[:2]
                                                                            if seen else pushes)
            ids = infos["env_id"].tolist()
            self.assertEqual(len(ids), 2)
            self.assertEqual(len(set(ids)), 2)
            self.assertEqual(observations["position"].shape, (2, 2))
            self.assertEqual((rewards.shape, terminated.shape, truncated.shape), ((2,),) * 3)
            seen.append(ids)
            if 1 in ids:
                break
        self.assertNotIn(1, seen[0] + seen[1], "the slow simulator held the others back")
        self.assertIn(1, seen[-1], "the slow simulator's answer never came")
        self.assertGreater(len(seen), 2)
        with self.assertRaises(norva_sim.ServerError) as stepping:
            envs.step(pushes[:1], env_ids=[2 if 2 not in seen[-1] else 3])
        self.assertEqual(stepping.exception.kind, "invalid")
        self.assertIn("whose step is still out", str(stepping.exception))

    def test_steps_may_be_sent_before_their_answers_are_read_and_a_reset_ends_them(self):
        envs = self.vector(count=4, batch_size=2)
        envs.reset(seed=10)
        envs.step_async(numpy.asarray([[0.25, 0.0]] * 2), env_ids=[0, 2])
        envs.send(numpy.asarray([[0.0, 0.25]] * 2), env_ids=[3, 1])
        first = envs.step_wait()[4]["env_id"].tolist()
        second = envs.recv()[4]["env_id"].tolist()
        self.assertEqual(sorted(first + second), [0, 1, 2, 3])
        envs.step_async(numpy.asarray([[0.25, 0.0]] * 2), env_ids=first)
        observations, infos = envs.reset(seed=10)
        self.assertEqual(observations["position"].shape, (4, 2))
        self.assertEqual(envs.step(numpy.asarray([[0.0, 0.0]] * 4))[4]["env_id"].shape, (2,))
        # Two steps are still out as the vector closes.
        envs.close()
        self.assertEqual(self.server.open_sessions(), 0)

    def test_a_crashed_simulator_fails_its_row_and_comes_back_at_its_next_step(self):
        envs = norva_sim.VectorEnv(self.server.address, 4, protocol=self.protocol,
                                   env_init={"crash_seed": 2}, batch_size=2, packed=self.packed)
        self.addCleanup(envs.close)
        envs.reset(seed=0)
        pushes = numpy.asarray([[0.25, 0.25]] * 4)
        rows_of_two = []
        answer = envs.step(pushes)
        deadline = time.monotonic() + 30
        while True:
            _, _, _, truncated, infos = answer
            ids = infos["env_id"].tolist()
            if 2 in ids:
                row = ids.index(2)
                rows_of_two.append((bool(truncated[row]), bool(infos.get("_error", [0] * 2)[row])))
            if len(rows_of_two) == 2 or time.monotonic() > deadline:
                break
            answer = envs.step(pushes[:2])
        self.assertEqual(rows_of_two, [(True, True), (False, False)],
                         "the crash is its row's alone, and its next step has a new simulator")

    def test_a_wrong_batch_size_is_refused(self):
        with self.assertRaises(norva_sim.ServerError) as refused:
            self.vector(count=2, batch_size=3)
        self.assertIn("'batch_size' must be from 1 to the vector's 2 environments",
                      str(refused.exception))
        with self.assertRaises(ValueError):
            self.vector(autoreset="disabled")


class GrpcBatchSizeTest(BatchSizeTest, unittest.TestCase):
    protocol = "grpc"


class HttpBatchSizeTest(BatchSizeTest, unittest.TestCase):
    protocol = "http"


class HttpJsonBatchSizeTest(BatchSizeTest, unittest.TestCase):
    protocol = "http"
    packed = False


class MessagesTest(unittest.TestCase):
    def test_the_kept_messages_are_what_protoc_makes_of_the_proto(self):
        made = tempfile.mkdtemp()
        subprocess.run(["protoc", f"--proto_path={os.path.dirname(PROTO)}",
                        f"--python_out={made}", PROTO], check=True)
        kept = os.path.join(os.path.dirname(norva_sim.__file__), "sim_pb2.py")
        with open(os.path.join(made, "sim_pb2.py")) as fresh, open(kept) as stored:
            self.assertEqual(fresh.read(), stored.read(),
                             "run protoc --python_out=python/norva_sim on proto/sim.proto")


    def test_grpc_tools_makes_stubs_that_tell_an_absent_seed_from_zero(self):
        made = tempfile.mkdtemp()
        subprocess.run([sys.executable, "-m", "grpc_tools.protoc",
                        f"--proto_path={os.path.dirname(PROTO)}", f"--python_out={made}",
                        f"--grpc_python_out={made}", PROTO], check=True)
        checked = subprocess.run(
            [sys.executable, "-c", "import sim_pb2, sim_pb2_grpc\n"
             "request = sim_pb2.ResetRequest(session_id='s')\n"
             "absent = request.HasField('seed')\n"
             "request.seed = 0\n"
             "print(absent, request.HasField('seed'))"],
            check=True, capture_output=True, text=True, cwd=made)
        self.assertEqual(checked.stdout.split(), ["False", "True"])


class WithoutGrpcioTest(unittest.TestCase):
    def test_grpc_without_grpcio_says_what_to_install_or_pass(self):
        script = (f"import sys; sys.modules['grpc'] = None\n"
                  f"sys.path.insert(0, {os.path.dirname(norva_sim.__path__[0])!r})\n"
                  "import norva_sim\n"
                  "try:\n"
                  "    norva_sim.Env('127.0.0.1:1')\n"
                  "except norva_sim.NorvaError as error:\n"
                  "    print(error)\n")
        said = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              check=True).stdout
        self.assertIn("protocol='grpc' needs grpcio", said)
        self.assertIn("protocol='http' needs nothing", said)


class PackageTest(unittest.TestCase):
    def test_pip_installs_the_package_without_an_index_from_the_sources_and_the_build(self):
        # The build tree mirrors an installation: share/norva/python beside bin/norva.
        program = os.path.realpath(shutil.which(NORVA) or NORVA)
        built = os.path.join(os.path.dirname(os.path.dirname(program)), "share", "norva",
                             "python")
        for source in (os.path.join(os.path.dirname(__file__), ".."), built):
            with self.subTest(source=source):
                venv = os.path.join(tempfile.mkdtemp(), "venv")
                subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv],
                               check=True)
                python = os.path.join(venv, "bin", "python")
                subprocess.run([python, "-m", "pip", "install", "--no-index", "--quiet", source],
                               check=True)
                imported = subprocess.run(
                    [python, "-c", "import norva_sim, norva_sim.sim_pb2, norva_sim.worker\n"
                     "print(norva_sim.__file__)"],
                    check=True, capture_output=True, text=True, cwd=venv)
                self.assertTrue(imported.stdout.startswith(venv), imported.stdout)


class SpaceTest(unittest.TestCase):
    def test_gymnasiums_attributes(self):
        box = norva_sim.Space({"type": "box", "low": [0, -1], "high": 1, "shape": [2],
                               "dtype": "float64"})
        self.assertEqual((box.shape, box.dtype), ((2,), numpy.float64))
        self.assertEqual((box.low.tolist(), box.high.tolist()), ([0, -1], [1, 1]))
        gear = norva_sim.Space({"type": "discrete", "n": 3, "start": 1})
        self.assertEqual((gear.n, gear.start, gear.shape), (3, 1, ()))
        keys = norva_sim.Space({"type": "multi_binary", "n": 4})
        self.assertEqual((keys.n, keys.shape, keys.dtype), (4, (4,), numpy.int8))
        batch = norva_sim.spaces.batched(
            norva_sim.Space({"type": "tuple", "spaces": [box.description, gear.description,
                                                         keys.description]}), 3)
        self.assertEqual([space.shape for space in batch.spaces], [(3, 2), (3,), (3, 4)])
        import random
        self.assertTrue(batch.contains(batch.sample(random.Random(2))))

    def test_membership_and_samples(self):
        space = norva_sim.Space({"type": "dict", "spaces": {
            "box": {"type": "box", "low": [0, -1], "high": [1, 1], "shape": [2]},
            "gear": {"type": "discrete", "n": 3, "start": 1},
            "keys": {"type": "multi_binary", "n": 2},
            "pair": {"type": "tuple", "spaces": [{"type": "multi_discrete", "nvec": [2, 3]}]}}})
        good = {"box": [0.5, -1], "gear": 3, "keys": [0, 1], "pair": [[1, 2]]}
        self.assertTrue(space.contains(good))
        for wrong in ({**good, "box": [1.5, 0]}, {**good, "gear": 0}, {**good, "keys": [2, 0]},
                      {**good, "pair": [[2, 0]]}, {"box": [0, 0]}, {**good, "box": [0.5]}):
            self.assertFalse(space.contains(wrong), wrong)
        import random
        self.assertTrue(all(space.contains(space.sample(random.Random(seed)))
                            for seed in range(20)))
        self.assertTrue(same(space.sample(random.Random(1)), space.sample(random.Random(1))))


if __name__ == "__main__":
    unittest.main()
