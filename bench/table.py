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
        f"true {ms(true):.1f} ms; python 1/{1 / ratio:.0f} ({ms(python):.0f} ms)", target, met)

bare = find("bare_pipe")["items_per_second"]
pipe = find("worker_pipe/")["items_per_second"]
row("worker pipe: steps/s", f"{pipe:,.0f}",
    f"{pipe / bare:.0%} of a bare pipe round trip ({bare:,.0f}/s)", ">= 100,000",
    pipe >= 100000)
pinned = find("worker_pipe_one_cpu")["items_per_second"]
row("worker pipe, both on one CPU: steps/s", f"{pinned:,.0f}", "no idle CPU to wake",
    ">= 100,000", pinned >= 100000)
for name, label, share in [("served/grpc_streamed", "gRPC streamed", 0.5),
                           ("served/grpc_unary", "gRPC unary", 0.2),
                           ("served/http", "HTTP", 0.2)]:
    rate = find(name)["items_per_second"]
    row(f"{label}: steps/s", f"{rate:,.0f}", f"{rate / pipe:.0%} of the pipe",
        f">= {share:.0%} of the pipe", rate / pipe >= share)

one, sixteen = find("serving_memory/1/"), find("serving_memory/16/")
server_one = one["server_rss_kib"] / 1024
row("sim run, 1 session: server RSS", f"{server_one:.1f} MiB",
    f"its simulator {one['simulators_rss_kib'] / 1024:.1f} MiB", "<= 30 MiB", server_one <= 30)
extra = (sixteen["server_rss_kib"] - one["server_rss_kib"]) / 15 / 1024
per_sim = sixteen["simulators_rss_kib"] / 16 / 1024
row("sim run, each further session", f"{extra:.2f} MiB in the server",
    f"a simulator {per_sim:.1f} MiB", "<= one simulator", extra <= per_sim)

widths = [max(len(str(r[i])) for r in rows + [("figure", "median", "reference", "target", "met")])
          for i in range(5)]
for line in [("figure", "median", "reference", "target", "met")] + rows:
    print(" | ".join(str(cell).ljust(width) for cell, width in zip(line, widths)).rstrip())
