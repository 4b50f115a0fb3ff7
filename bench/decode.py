#!/usr/bin/env python3
"""CPU-time benchmark of tavrel_cbor.loads against other decoders.

Every peer decodes its own format of the same value (made by its own
encoder once, before timing), in the same process, interleaved repeat by
repeat; ratios are peer CPU time / ours.  Timing loops, calibration and
machine details are bench.py's.

    python bench/decode.py
    python bench/decode.py --quick --only twitter,call_int
    python bench/decode.py --json bench/results/decode-311.json
    python bench/decode.py --rss --only twitter,citm_catalog,canada,records

--rss also measures, in one fresh process per runner and workload, the peak
resident memory of one call over what its result keeps: the input is made
first, freed memory is handed back (malloc_trim), the runner decodes a tiny
input of its format (lazy set-up), the kernel's high-water mark is reset
(/proc/self/clear_refs), then one call; VmHWM and VmRSS are read after it.
1.0 means the call needed nothing beside the result; the input is not
counted.
"""
import argparse
import ctypes
import ctypes.util
import gc
import importlib
import json
import random
import re
import statistics
import string
import subprocess
import sys
import time
from pathlib import Path

try:
    import tracemalloc
except ImportError:  # PyPy ships the module without its C half
    tracemalloc = None

import tavrel_cbor
from bench import (DEFAULT_DATA, DOCUMENTS, SYNTHETIC, calibrate, count_values, fmt_ratio, fmt_time, machine_info,
                   make_loop, timed)

OURS = "tavrel_cbor"
OURS_DEFINITE = OURS + " (definite)"


def records(rng, scale):
    """Many small records with the same keys, as an API or a log returns them."""
    words = ["".join(rng.choices(string.ascii_lowercase, k=rng.randint(3, 10))) for _ in range(400)]
    return [{"id": i, "name": rng.choice(words), "email": f"{rng.choice(words)}@example.org",
             "active": rng.random() < 0.5, "score": round(rng.uniform(0, 100), 2), "parent": None,
             "tags": rng.sample(words, 2), "created": 1_600_000_000 + rng.randrange(10**8)}
            for i in range(int(20_000 * scale))]


PER_CALL = {"call_int": lambda: 1, "call_record": lambda: {"id": 7, "name": "sensor-7", "ok": True}}
# Long texts and bytes, made by bench.py's builders of these names (from this script's seed).
LONG = ("long_str", "utf8_str_140k", "bytes_blobs")
WORKLOADS = (*DOCUMENTS, "records", *LONG, *PER_CALL)

# (runner, module, encoder of its format, its decoder, note)
PEERS = (
    ("msgspec", "msgspec.msgpack", lambda m: m.encode, lambda m: m.Decoder().decode,
     "msgspec.msgpack.Decoder().decode on msgpack, one decoder made once and reused"),
    ("ormsgpack", "ormsgpack", lambda m: m.packb, lambda m: m.unpackb, "ormsgpack.unpackb on msgpack"),
    ("orjson", "orjson", lambda m: m.dumps, lambda m: m.loads, "orjson.loads on JSON"),
    ("cbor2", "cbor2", lambda m: lambda v: tavrel_cbor.dumps(v, indefinite=False), lambda m: m.loads,
     "cbor2.loads on our definite-length CBOR"),
)


def build(name, data, seed, scale):
    if name in DOCUMENTS:
        with open(Path(data) / f"{name}.json", "rb") as f:
            return json.load(f)
    if name in PER_CALL:
        return PER_CALL[name]()
    if name in LONG:
        return SYNTHETIC[name](random.Random(seed + list(SYNTHETIC).index(name)), scale)
    return records(random.Random(seed), scale)


def runners(value):
    """(name, decoder, its input) for ours in both framings and each importable peer, plus notes."""
    found = [(OURS, tavrel_cbor.loads, tavrel_cbor.dumps(value)),
             (OURS_DEFINITE, tavrel_cbor.loads, tavrel_cbor.dumps(value, indefinite=False))]
    notes = {}
    for name, module, encoder, decoder, _ in PEERS:
        try:
            m = importlib.import_module(module)
            found.append((name, decoder(m), encoder(m)(value)))
        except Exception as error:  # not installed, or cannot encode this value
            notes[name] = f"{type(error).__name__}: {str(error)[:80]}"
    return found, notes


def peak_over_result(fn, data):
    """Peak of the Python allocators during one call over what the result
    keeps (CPython only): 1.0 means nothing beside the result was built.
    The input was made before and is not counted."""
    if tracemalloc is None:
        return None
    gc.collect()
    tracemalloc.start()
    try:
        out = fn(data)
        kept, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del out
    return {"peak_bytes": peak, "result_bytes": kept, "ratio": peak / kept if kept else None}


def bench_workload(name, value, repeat, target):
    found, notes = runners(value)
    result = {"name": name, "values": count_values(value), "runs": [], "skipped": notes}
    active = []
    for runner, fn, data in found:
        if fn(data) != value:
            result["skipped"][runner] = "does not decode back to the value"
            continue
        loop = make_loop("f(v)")
        gc.collect()
        active.append({"name": runner, "fn": fn, "data": data, "loop": loop,
                       "number": calibrate(loop, fn, data, target), "cpu": []})
    for _ in range(repeat):
        for run in active:
            gc.collect()
            run["cpu"].append(timed(run["loop"], run["fn"], run["data"], run["number"])[1] / run["number"])
    medians = {run["name"]: statistics.median(run["cpu"]) for run in active}
    for run in active:
        cpu = medians[run["name"]]
        result["runs"].append({
            "name": run["name"], "cpu_s": cpu, "ns_per_value": cpu * 1e9 / result["values"],
            "in_bytes": len(run["data"]), "ratio_cpu": cpu / medians[OURS] if OURS in medians else None,
            "memory": peak_over_result(run["fn"], run["data"]), "number": run["number"], "cpu_times_s": run["cpu"]})
    return result


def status_kib(field):
    match = re.search(rf"^{field}:\s+(\d+) kB", Path("/proc/self/status").read_text(), re.M)
    return int(match.group(1))


def rss_child(name, runner, data, seed, scale):
    """Peak RSS of one call of runner over what its result keeps (see the top)."""
    value = build(name, data, seed, scale)
    found, notes = runners(value)
    chosen = [(fn, encoded) for r, fn, encoded in found if r == runner]
    if not chosen:
        return {"skipped": notes.get(runner, "unknown runner")}
    fn, encoded = chosen[0]
    tiny = [(fn, t) for r, fn, t in runners([1, "a", {"k": 1.5}])[0] if r == runner][0]
    del value, found
    tiny[0](tiny[1])
    gc.collect()
    gc.disable()
    libc = ctypes.util.find_library("c")
    if libc:
        ctypes.CDLL(libc).malloc_trim(0)
    Path("/proc/self/clear_refs").write_text("5")
    before = status_kib("VmRSS")
    out = fn(encoded)
    peak, kept = status_kib("VmHWM") - before, status_kib("VmRSS") - before
    del out
    return {"peak_kib": peak, "kept_kib": kept, "ratio": peak / kept if kept > 0 else None}


def rss_of(name, runner, args, scale):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--rss-child", name, runner, "--data", str(args.data),
           "--seed", str(args.seed), "--scale", str(scale)]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        return {"skipped": (done.stderr.strip().splitlines() or ["child failed"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def print_workload(result):
    print(f"\n== {result['name']} ({result['values']:,} values) ==")
    print(f"{'runner':<24}{'CPU/call':>12}{'ns/value':>10}{'in bytes':>12}{'÷ours':>8}{'peak/result':>13}"
          f"  {'RSS peak/result':<22}")
    for run in result["runs"]:
        mem, rss = run["memory"], run.get("rss") or {}
        peak = "—" if not mem or mem["ratio"] is None else f"{mem['ratio']:.2f}"
        rss_ratio = "—" if rss.get("ratio") is None else f"{rss['ratio']:.2f} of {rss['kept_kib']:,} KiB"
        print(f"{run['name']:<24}{fmt_time(run['cpu_s']):>12}{run['ns_per_value']:>10.1f}{run['in_bytes']:>12,}"
              f"{fmt_ratio(run['ratio_cpu']):>8}{peak:>13}  {rss_ratio:<22}")
    for runner, note in result["skipped"].items():
        print(f"  skipped {runner}: {note}")


def print_summary(results):
    peers = [p[0] for p in PEERS]
    print("\n== CPU time ratios, peer / ours (ours: default framing); >= 1: we are faster ==")
    print(f"| workload | ours CPU | ours, definite | {' | '.join(peers)} | peak/result, ours | RSS peak/result |")
    print("|---|---|---|" + "---|" * len(peers) + "---|---|")
    for w in results:
        runs = {r["name"]: r for r in w["runs"]}
        if OURS not in runs:
            continue
        cells = [fmt_ratio(runs[p]["ratio_cpu"]) if p in runs else "—" for p in (OURS_DEFINITE, *peers)]
        mem = runs[OURS]["memory"]
        peak = "—" if not mem or mem["ratio"] is None else f"{mem['ratio']:.2f}"
        rss = (runs[OURS].get("rss") or {}).get("ratio")
        rss = "—" if rss is None else f"{rss:.2f}"
        print(f"| {w['name']} | {fmt_time(runs[OURS]['cpu_s'])} | {' | '.join(cells)} | {peak} | {rss} |")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="directory of the JSON documents")
    parser.add_argument("--repeat", type=int, default=5, help="timed repeats per runner (median reported)")
    parser.add_argument("--target", type=float, default=0.2, help="seconds per timed repeat (default 0.2)")
    parser.add_argument("--quick", action="store_true", help="records at 1/10 size, 3 repeats of 0.05 s")
    parser.add_argument("--only", help="comma-separated workload names")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--json", type=Path, help="write all results to this file")
    parser.add_argument("--rss", action="store_true", help="also peak RSS per call, a fresh process per runner")
    parser.add_argument("--rss-child", nargs=2, metavar=("WORKLOAD", "RUNNER"), help=argparse.SUPPRESS)
    parser.add_argument("--scale", type=float, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.rss_child:
        print(json.dumps(rss_child(*args.rss_child, args.data, args.seed, args.scale)))
        return
    repeat, scale, target = (min(args.repeat, 3), 0.1, min(args.target, 0.05)) if args.quick else \
        (args.repeat, 1.0, args.target)
    names = [n.strip() for n in args.only.split(",")] if args.only else list(WORKLOADS)
    unknown = [n for n in names if n not in WORKLOADS]
    if unknown:
        parser.error(f"unknown workloads {unknown}; choose from {list(WORKLOADS)}")
    info = machine_info()
    print(f"{info['cpu']}, {info['cores']} cores, {info['implementation']} {info['python']}, {info['date']}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in info["versions"].items() if k != "json"))
    started = time.perf_counter()
    results = []
    for name in names:
        results.append(bench_workload(name, build(name, args.data, args.seed, scale), repeat, target))
        if args.rss and name not in PER_CALL:
            for run in results[-1]["runs"]:
                run["rss"] = rss_of(name, run["name"], args, scale)
        print_workload(results[-1])
    print_summary(results)
    elapsed = time.perf_counter() - started
    print(f"\n{len(results)} workloads in {elapsed:.0f} s")
    if args.json:
        settings = {"repeat": repeat, "quick": args.quick, "seed": args.seed, "scale": scale, "target_s": target,
                    "clock": "time.thread_time", "peers": {p[0]: p[4] for p in PEERS}, "elapsed_s": elapsed,
                    "command": " ".join(sys.argv)}
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"machine": info, "settings": settings, "workloads": results}, indent=1) + "\n")
        print(f"wrote {args.json}")


if __name__ == "__main__":
    main()
