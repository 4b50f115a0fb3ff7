#!/usr/bin/env python3
"""Wall-clock benchmark of tavrel_cbor.dumps against other serializers.

Every workload is encoded by our three call variants and by each peer in the
same process, interleaved repeat by repeat, from the same Python objects.

    python bench/bench.py                    # full run
    python bench/bench.py --quick --only twitter,floats_half
    python bench/bench.py --json bench/results/results.json
"""
import argparse
import datetime
import gc
import importlib
import importlib.util
import importlib.metadata
import json
import os
import platform
import random
import statistics
import string
import struct
import sys
import timeit
import tracemalloc
from pathlib import Path

import tavrel_cbor

REPO = Path(__file__).resolve().parent.parent
DEFAULT_DATA = REPO.parent / "shared" / "bench-data"
DOCUMENTS = ("twitter", "citm_catalog", "canada")
OURS = "tavrel_cbor"


# ---------------------------------------------------------------- workloads
# Each builder gets its own seeded generator and a size scale (1.0, or 0.1
# with --quick); nothing is built until the workload is selected.

def small_ints(rng, scale):
    return [rng.randint(-500, 500) for _ in range(int(100_000 * scale))]


def large_ints(rng, scale):
    values = [2**64 - 1, -2**63, 2**32, -2**32 - 1]
    for _ in range(int(100_000 * scale)):
        values.append(rng.randint(2**32, 2**64 - 1) if rng.random() < 0.5 else rng.randint(-2**63, -2**32 - 1))
    return values


def floats_half(rng, scale):
    # 11 significant bits and a small exponent: exact in half precision.
    return [rng.randint(-2047, 2047) / 2 ** rng.randint(0, 10) for _ in range(int(100_000 * scale))]


def floats_single(rng, scale):
    # Random single-precision patterns whose low mantissa bits rule out half.
    def one():
        bits = rng.getrandbits(1) << 31 | rng.randint(127 - 40, 127 + 40) << 23 | rng.getrandbits(23) | 1
        return struct.unpack("<f", struct.pack("<I", bits))[0]
    return [one() for _ in range(int(100_000 * scale))]


def floats_double(rng, scale):
    return [rng.uniform(-1e6, 1e6) for _ in range(int(100_000 * scale))]


def short_str_ascii(rng, scale):
    alphabet = string.ascii_letters + string.digits
    return [''.join(rng.choices(alphabet, k=rng.randint(1, 16))) for _ in range(int(100_000 * scale))]


def short_str_utf8(rng, scale):
    alphabet = "äöüßéèçñłø" "абвгдежзий" "日本語中文字" "αβγδ" "😀🚀✓"
    return [''.join(rng.choices(alphabet, k=rng.randint(1, 12))) for _ in range(int(100_000 * scale))]


def long_str(rng, scale):
    return [rng.randbytes(rng.randint(2_000, 50_000)).hex() for _ in range(max(2, int(200 * scale)))]


def bytes_blobs(rng, scale):
    return [rng.randbytes(rng.randint(0, 4096)) for _ in range(int(10_000 * scale))]


def deep_nesting(rng, scale):
    # 100 chains of 500 levels, lists and one-key dicts alternating.
    def chain():
        value = rng.randint(0, 1000)
        for level in range(500):
            value = [value] if level % 2 else {"k": value}
        return value
    return [chain() for _ in range(max(2, int(100 * scale)))]


def many_small_dicts(rng, scale):
    words = [''.join(rng.choices(string.ascii_lowercase, k=rng.randint(3, 10))) for _ in range(500)]
    return [{"id": i, "name": rng.choice(words), "active": rng.random() < 0.5, "parent": None,
             "rank": rng.randint(0, 100_000)} for i in range(int(20_000 * scale))]


def huge_flat_list(rng, scale):
    return [rng.randrange(256) for _ in range(int(1_000_000 * scale))]


SYNTHETIC = {f.__name__: f for f in (small_ints, large_ints, floats_half, floats_single, floats_double,
                                     short_str_ascii, short_str_utf8, long_str, bytes_blobs,
                                     deep_nesting, many_small_dicts, huge_flat_list)}


def count_values(value):
    """Every scalar, key and container counts as one value."""
    count, stack = 0, [value]
    while stack:
        item = stack.pop()
        count += 1
        if isinstance(item, dict):
            stack.extend(item.keys())
            stack.extend(item.values())
        elif isinstance(item, (list, tuple)):
            stack.extend(item)
    return count


# ---------------------------------------------------------------- runners

def load_baseline(path):
    """Another build of the module (say, an older commit's), loaded beside ours."""
    spec = importlib.util.spec_from_file_location("tavrel_cbor", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def runners(baseline=None):
    """(name, callable) for our variants and every importable peer, plus notes."""
    dumps = tavrel_cbor.dumps
    found = [(OURS, dumps),
             (OURS + " indefinite=False", lambda v: dumps(v, indefinite=False)),
             (OURS + " max_depth=1000", lambda v: dumps(v, max_depth=1000))]
    if baseline is not None:
        found.append((OURS + " baseline", load_baseline(baseline).dumps))
    notes = {}
    for name, module, attr in (("cbor2", "cbor2", "dumps"), ("msgpack", "msgpack", "packb"),
                               ("ormsgpack", "ormsgpack", "packb"), ("orjson", "orjson", "dumps"),
                               ("json", "json", "dumps")):
        try:
            found.append((name, getattr(importlib.import_module(module), attr)))
        except ImportError as error:
            notes[name] = f"not installed ({error})"
    return found, notes


def cbor2_implementation():
    try:
        import cbor2
    except ImportError:
        return "not installed"
    for name in ("cbor2._cbor2", "_cbor2"):
        try:
            importlib.import_module(name)
        except ImportError:
            continue
        native = type(cbor2.dumps).__name__ == "builtin_function_or_method"
        return f"C extension ({name})" if native else f"pure Python ({name} present but unused)"
    return "pure Python"


def machine_info():
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    versions = {OURS: tavrel_cbor.__version__}
    for name in ("cbor2", "msgpack", "ormsgpack", "orjson"):
        try:
            versions[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            versions[name] = None
    versions["json"] = "stdlib " + platform.python_version()
    return {"cpu": cpu, "cores": os.cpu_count(), "python": sys.version.split()[0],
            "implementation": platform.python_implementation(), "platform": platform.platform(),
            "versions": versions, "cbor2_implementation": cbor2_implementation(),
            "load_average": os.getloadavg(),
            "date": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat()}


# ---------------------------------------------------------------- measuring

def peak_memory(fn, value):
    """Peak of Python-allocator memory during one call, output included."""
    gc.collect()
    tracemalloc.start()
    try:
        out = fn(value)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    del out
    return peak


def bench_workload(name, kind, value, all_runners, repeat, quick):
    result = {"name": name, "kind": kind, "values": count_values(value), "runs": [], "skipped": {}}
    active = []
    for runner, fn in all_runners:
        try:
            out = fn(value)
        except Exception as error:  # the peer cannot encode this input
            result["skipped"][runner] = f"{type(error).__name__}: {str(error)[:80]}"
            continue
        timer = timeit.Timer(lambda fn=fn: fn(value))
        gc.collect()
        number = timer.autorange()[0]  # enough calls for >= 0.2 s
        if quick:
            number = max(1, number // 4)
        active.append({"name": runner, "fn": fn, "timer": timer, "number": number,
                       "out_bytes": len(out), "times": []})
        if runner == OURS:
            result["decodes_equal"] = decodes_equal(out, value)
    for _ in range(repeat):  # interleaved: one repeat of every runner, then the next
        for run in active:
            gc.collect()
            run["times"].append(run["timer"].timeit(run["number"]) / run["number"])
    ours = next((r for r in active if r["name"] == OURS), None)
    for run in active:
        t = statistics.median(run["times"])
        result["runs"].append({
            "name": run["name"], "time_s": t, "ns_per_value": t * 1e9 / result["values"],
            "out_bytes": run["out_bytes"], "mb_per_s": run["out_bytes"] / t / 1e6,
            "ratio_to_ours": t / statistics.median(ours["times"]) if ours else None,
            "peak_bytes": peak_memory(run["fn"], value), "number": run["number"], "times_s": run["times"]})
    return result


def decodes_equal(encoded, value):
    try:
        import cbor2
    except ImportError:
        return None
    try:
        return cbor2.loads(encoded) == value
    except Exception as error:  # e.g. cbor2's own nesting limit
        return f"not checked ({type(error).__name__}: {error})"


def print_workload(result):
    print(f"\n== {result['name']} ({result['kind']}, {result['values']:,} values) ==")
    print(f"{'runner':<30}{'time/call':>12}{'ns/value':>10}{'out bytes':>12}{'MB/s':>9}"
          f"{'peak KiB':>10}{'time/ours':>10}")
    for run in result["runs"]:
        t = run["time_s"]
        shown = f"{t * 1e3:.3f} ms" if t >= 1e-3 else f"{t * 1e6:.1f} us"
        print(f"{run['name']:<30}{shown:>12}{run['ns_per_value']:>10.1f}{run['out_bytes']:>12,}"
              f"{run['mb_per_s']:>9.1f}{run['peak_bytes'] / 1024:>10.1f}{run['ratio_to_ours']:>10.2f}")
    for runner, note in result["skipped"].items():
        print(f"  skipped {runner}: {note}")
    check = result.get("decodes_equal")
    if check is False:
        print("  WARNING: cbor2 does not decode our output back to the input")
    elif isinstance(check, str):
        print(f"  our output {check}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="directory of the JSON documents")
    parser.add_argument("--repeat", type=int, default=5, help="timed repeats per runner (median reported)")
    parser.add_argument("--quick", action="store_true", help="synthetic inputs at 1/10 size, 3 short repeats")
    parser.add_argument("--only", help="comma-separated workload names")
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--json", type=Path, help="write all results to this file")
    parser.add_argument("--baseline", type=Path,
                        help="a tavrel_cbor module file from another build, timed as one more runner")
    args = parser.parse_args(argv)
    repeat, scale = (min(args.repeat, 3), 0.1) if args.quick else (args.repeat, 1.0)
    names = list(DOCUMENTS) + list(SYNTHETIC)
    if args.only:
        names = [n.strip() for n in args.only.split(",")]
        unknown = [n for n in names if n not in DOCUMENTS and n not in SYNTHETIC]
        if unknown:
            parser.error(f"unknown workloads {unknown}; choose from {list(DOCUMENTS) + list(SYNTHETIC)}")

    all_runners, missing = runners(args.baseline)
    info = machine_info()
    print(f"{info['cpu']}, {info['cores']} cores, Python {info['python']}, {info['date']}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in info["versions"].items()))
    print(f"cbor2 implementation: {info['cbor2_implementation']}")
    for runner, note in missing.items():
        print(f"peer {runner} skipped everywhere: {note}")

    results = []
    for name in names:
        if name in DOCUMENTS:
            with open(args.data / f"{name}.json", "rb") as f:
                value, kind = json.load(f), "document"
        else:
            value, kind = SYNTHETIC[name](random.Random(args.seed + list(SYNTHETIC).index(name)), scale), "synthetic"
        results.append(bench_workload(name, kind, value, all_runners, repeat, args.quick))
        print_workload(results[-1])
        del value

    if args.json:
        info["load_average_end"] = os.getloadavg()
        settings = {"repeat": repeat, "quick": args.quick, "seed": args.seed, "scale": scale,
                    "missing_peers": missing, "command": " ".join(sys.argv)}
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"machine": info, "settings": settings, "workloads": results},
                                        indent=1) + "\n")
        print(f"\nwrote {args.json}")


if __name__ == "__main__":
    main()
