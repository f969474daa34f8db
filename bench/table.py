"""Renders the benchmark results (Google Benchmark JSON) as one table with ratios and targets."""
import json
import sys

results = {}
for entry in json.load(open(sys.argv[1]))["benchmarks"]:
    if entry.get("aggregate_name") == "median":
        results[entry["run_name"]] = entry


def find(prefix):
    return next(value for name, value in results.items() if name.startswith(prefix))


def ms(entry):
    return entry["real_time"] if entry["time_unit"] == "ms" else entry["real_time"] / 1e6


rows = []


def row(figure, value, reference, target, met):
    rows.append((figure, value, reference, target, "yes" if met else "MISSED"))


true, python = find("startup/true"), find("startup/python_client_floor")
row("/usr/bin/python3 importing a client's modules", f"{ms(python):.0f} ms",
    "the system interpreter, not a shim on PATH", "-", True)
for name, label, limit in [("norva_version", "norva --version", 5.0),
                           ("norva_sim_help", "norva sim --help", 10.0),
                           ("norva_compute_connect_help", "norva compute connect --help", None)]:
    entry = find("startup/" + name)
    wall = ms(entry)
    ratio = wall / ms(python)
    target = f"<= {limit:g} ms" if limit else "-"
    if name == "norva_version":
        target += ", <= 1/20 of python"
    met = (limit is None or wall <= limit) and (name != "norva_version" or ratio <= 1 / 20)
    row(f"{label}: wall, peak RSS",
        f"{wall:.1f} ms, {entry['peak_rss_kib'] / 1024:.1f} MiB",
        f"true {ms(true):.1f} ms; 1/{1 / ratio:.0f} of python", target, met)


def steps(name):
    """Steps per second and CPU microseconds per step, of every process involved."""
    entry = find(name)
    return entry["items_per_second"], entry["cpu_us_per_step"]


def rate_text(rate, cpu):
    return f"{rate:,.0f}/s, {cpu:.1f} us"


# Every step figure: steps per second, then the CPU time a step costs all processes involved.
bare, bare_cpu = steps("bare_pipe")
tcp, tcp_cpu = steps("loopback_tcp")
peer, peer_cpu = steps("python_peer/mp_pipe")
driver, driver_cpu = steps("python_peer/json_lines")
pipe, pipe_cpu = steps("worker_pipe/")
row("bare pipe round trip (cat)", rate_text(bare, bare_cpu), "the floor of two processes", "-",
    True)
row("Python: multiprocessing.Pipe worker", rate_text(peer, peer_cpu), "trivial environment", "-",
    True)
row("Python: JSON-lines driver", rate_text(driver, driver_cpu), "the same simulator", "-", True)
row("worker pipe", rate_text(pipe, pipe_cpu),
    f"{pipe / peer:.2f}x the Pipe worker, {pipe / bare:.2f} of the bare pipe",
    ">= 1.5x Pipe worker, >= 0.7 bare", pipe >= 1.5 * peer and pipe >= 0.7 * bare)
row("worker pipe: CPU per step", f"{pipe_cpu:.1f} us", f"{pipe_cpu / bare_cpu:.2f}x the bare pipe's",
    "<= 2x the bare pipe's", pipe_cpu <= 2 * bare_cpu)
pinned, pinned_cpu = steps("worker_pipe_one_cpu")
row("worker pipe, both on one CPU", rate_text(pinned, pinned_cpu), "no idle CPU to wake", "-",
    True)
slow, slow_cpu = steps("worker_pipe_slow_simulator")
row("worker pipe, 1 ms simulator: norva's CPU", f"{slow_cpu:.1f} us",
    "a spin at every answer adds 50 us", "< 50 us (no spin)", slow_cpu < 50)
# A served step crosses loopback TCP to the server and a pipe to the simulator, one after the
# other: the machine's floor is those two round trips in series.
floor = 1 / (1 / tcp + 1 / bare)
row("loopback TCP round trip", rate_text(tcp, tcp_cpu), f"with the pipe: {floor:,.0f}/s floor",
    "-", True)
for name, label, share in [("served/grpc_streamed", "gRPC streamed", 0.7),
                           ("served/grpc_unary", "gRPC unary", None),
                           ("served/http", "HTTP", 0.6)]:
    rate, cpu = steps(name)
    target = f">= {share:g} of the floor" if share else "-"
    row(f"served {label}", rate_text(rate, cpu), f"{rate / floor:.2f} of the floor", target,
        share is None or rate >= share * floor)

one, sixteen = find("serving_memory/1/"), find("serving_memory/16/")
server_one = one["server_rss_kib"] / 1024
row("sim run, 1 session: server RSS", f"{server_one:.1f} MiB",
    f"its simulator {one['simulators_rss_kib'] / 1024:.1f} MiB", "<= 30 MiB", server_one <= 30)
extra = (sixteen["server_rss_kib"] - one["server_rss_kib"]) / 15 / 1024
per_sim = sixteen["simulators_rss_kib"] / 16 / 1024
row("sim run, each further session", f"{extra:.2f} MiB in the server",
    f"a simulator {per_sim:.1f} MiB", "<= one simulator", extra <= per_sim)

# Vectors: N simulators stepped together; every rate is simulator steps per second.
def rate(name):
    return find(name)["items_per_second"]


for count in (8, 64):
    local, pipes = rate(f"local_vector/{count}/"), rate(f"python_vector_peer/mp_vector/{count}/")
    row(f"local vector of {count}", f"{local:,.0f}/s",
        f"{local / pipes:.2f}x {count} Pipe workers ({pipes:,.0f}/s)",
        ">= 2x the Pipe workers" if count == 8 else "-", count != 8 or local >= 2 * pipes)
    # norva's client makes its vectors packed.
    for protocol, share in (("grpc", 0.9), ("http", 0.8)):
        served = rate(f"served_vector/{protocol}/{count}/")
        label = "gRPC packed" if protocol == "grpc" else "HTTP packed"
        row(f"served vector of {count}, {label}, norva's client", f"{served:,.0f}/s",
            f"{served / local:.2f} of the local vector", f">= {share:g} of local" if count == 64
            else "-", count != 64 or served >= share * local)
def rate_and_cpu(name):
    entry = find(name)
    return entry["items_per_second"], entry["cpu_us_per_step"]


# Batched simulators: one process holds many environments.
unbatched, unbatched_cpu = rate_and_cpu("local_vector/8/1/")
batched, batched_cpu = rate_and_cpu("local_vector/256/64/")
row("local vector of 256, 64 a process", rate_text(batched, batched_cpu),
    f"{batched / unbatched:.2f}x the vector of 8, one a process ({rate_text(unbatched, unbatched_cpu)})",
    ">= 10x", batched >= 10 * unbatched)
for protocol in ("grpc", "http"):
    label = "gRPC" if protocol == "grpc" else "HTTP"
    served, served_cpu = rate_and_cpu(f"served_vector/{protocol}/256/64/")
    few, few_cpu = rate_and_cpu(f"served_vector/{protocol}/8/1/")
    row(f"served vector of 256, 64 a process, {label}", rate_text(served, served_cpu),
        f"{served / few:.2f}x the served vector of 8 ({rate_text(few, few_cpu)}), "
        f"{served / batched:.2f} of local", "-", True)
pipes, pipes_cpu = rate_and_cpu("python_vector_peer/drift_vector/16/")
python_local, python_local_cpu = rate_and_cpu("local_python_vector/64/32/")
row("Python environment, local vector of 64, 32 a process", rate_text(python_local, python_local_cpu),
    f"{python_local / pipes:.2f}x 16 Pipe workers ({rate_text(pipes, pipes_cpu)})", ">= 3x",
    python_local >= 3 * pipes)
python_served, python_served_cpu = rate_and_cpu("python_vector_peer/norva_sim_drift_vector/64/")
client_cpu = find("python_vector_peer/norva_sim_drift_vector/64/")["client_cpu_us_per_step"]
row("Python environment, the same served, Python client over gRPC",
    f"{python_served:,.0f}/s, {python_served_cpu:.1f} us ({client_cpu:.1f} us the client's)",
    f"{python_served / pipes:.2f}x 16 Pipe workers", ">= 1.5x", python_served >= 1.5 * pipes)
thousand = find("vector_serving_memory/1024/64/")
eight = find("vector_serving_memory/8/1/")
thousand_rss = thousand["server_rss_kib"] / 1024
row("sim run, a vector of 1,024 in 16 processes: server RSS, threads",
    f"{thousand_rss:.1f} MiB, {thousand['server_threads']:.0f}",
    f"a vector of 8: {eight['server_rss_kib'] / 1024:.1f} MiB, {eight['server_threads']:.0f} threads",
    "<= 64 MiB, threads of a vector of 8",
    thousand_rss <= 64 and thousand["server_threads"] <= eight["server_threads"])

grpcio_vector, grpcio_sessions = (rate("python_vector_peer/grpcio_vector/64/"),
                                  rate("python_vector_peer/grpcio_sessions/8/"))
row("grpcio stepping one vector of 64", f"{grpcio_vector:,.0f}/s",
    f"{grpcio_vector / grpcio_sessions:.2f}x 8 grpcio clients of a session each "
    f"({grpcio_sessions:,.0f}/s)", ">= 5x", grpcio_vector >= 5 * grpcio_sessions)
client = find("python_vector_peer/norva_sim_vector/64/")
client_cpu = client["client_cpu_us_per_step"]
native = rate("served_vector/grpc/64/")
bare_cpu = find("python_vector_peer/grpcio_packed_vector/64/")["client_cpu_us_per_step"]
row("Python client stepping a packed vector of 64 over gRPC",
    f"{client['items_per_second']:,.0f}/s, {client_cpu:.1f} us client CPU per env step",
    f"bare grpcio sending the same messages {bare_cpu:.1f} us; "
    f"{client['items_per_second'] / native:.2f} of norva's C++ client ({native:,.0f}/s)",
    "<= 2 us per env step", client_cpu <= 2)
spread, alone = rate("spread_vector/64/"), rate("served_vector/grpc/32/")
row("a vector of 64 over two servers, gRPC, norva's client", f"{spread:,.0f}/s",
    f"{spread / (2 * alone):.2f} of two servers alone ({alone:,.0f}/s a vector of 32 each)",
    ">= 0.9 of the sum", spread >= 0.9 * 2 * alone)
lockstep = rate("python_vector_peer/uneven_lockstep/16/")
batched_uneven = rate("python_vector_peer/uneven_batch_size/16/")
row("uneven vector of 16 (a quarter 5 ms a step, the rest 1 ms), batch_size 8",
    f"{batched_uneven:,.0f}/s", f"{batched_uneven / lockstep:.2f}x lock-step ({lockstep:,.0f}/s)",
    ">= 1.3x", batched_uneven >= 1.3 * lockstep)
stops = {count: ms(find(f"stopping_with_vector/{count}/")) for count in
         (128, 256, 512, 1024)}
row("sim run stopping with a vector of 1,024 open", f"{stops[1024] / 1000:.2f} s",
    ", ".join(f"{count}: {stops[count] / 1000:.2f} s" for count in (128, 256, 512)),
    "<= 2 s, linear", stops[1024] <= 2000 and stops[1024] <= 10 * stops[128])
vector_rss = find("vector_serving_memory/256/")["server_rss_kib"] / 1024
row("sim run, a vector of 256: server RSS", f"{vector_rss:.1f} MiB", "simulators apart",
    "<= 64 MiB", vector_rss <= 64)

streamed = steps("served/grpc_streamed")[0]
for size in (2, 64):
    check_us = find(f"served_action_check/{size}")["real_time"]
    row(f"served action check, a box of {size}", f"{check_us:.2f} us",
        f"{check_us * streamed / 1e4:.1f}% of a gRPC streamed step", "-", True)

validation = find("validate_template")
row("norva sim validate on the template sim", f"{ms(validation) / 1000:.2f} s",
    "every check, five simulators started", "<= 5 s", ms(validation) <= 5000)

widths = [max(len(str(r[i])) for r in rows + [("figure", "median", "reference", "target", "met")])
          for i in range(5)]
for line in [("figure", "median", "reference", "target", "met")] + rows:
    print(" | ".join(str(cell).ljust(width) for cell, width in zip(line, widths)).rstrip())
