#!/usr/bin/env python3
"""CPU-time and wall-clock benchmark of tavrel_cbor.dumps against other serializers.

Every workload is encoded by our three call variants and by each peer in the
same process, interleaved repeat by repeat, from the same Python objects.
Each repeat records the thread's CPU time (time.thread_time) and the wall
clock of the same loop; ratios are computed from CPU time.

    python bench/bench.py                    # full run
    python bench/bench.py --quick --only twitter,call_record
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
import time
from itertools import repeat as _repeat
from pathlib import Path

try:
    import tracemalloc
except ImportError:  # PyPy ships the module without its C half
    tracemalloc = None

import tavrel_cbor

REPO = Path(__file__).resolve().parent.parent
DEFAULT_DATA = REPO.parent / "shared" / "bench-data"
DOCUMENTS = ("twitter", "citm_catalog", "canada")
OURS = "tavrel_cbor"
OURS_DEFINITE = OURS + " indefinite=False"
MEMCPY = "memcpy of our output"


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
    # 1M random doubles; none of them fits a narrower float.
    return [rng.uniform(-1e6, 1e6) for _ in range(int(1_000_000 * scale))]


def short_str_ascii(rng, scale):
    alphabet = string.ascii_letters + string.digits
    return [''.join(rng.choices(alphabet, k=rng.randint(1, 16))) for _ in range(int(100_000 * scale))]


def short_str_utf8(rng, scale):
    alphabet = "äöüßéèçñłø" "абвгдежзий" "日本語中文字" "αβγδ" "😀🚀✓"
    return [''.join(rng.choices(alphabet, k=rng.randint(1, 12))) for _ in range(int(100_000 * scale))]


def long_str(rng, scale):
    return [rng.randbytes(rng.randint(2_000, 50_000)).hex() for _ in range(max(2, int(200 * scale)))]


def bytes_blobs(rng, scale):
    # 10k random byte strings of 4 KiB each.
    return [rng.randbytes(4096) for _ in range(int(10_000 * scale))]


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
    # 1M small ints (0..255: one or two bytes in CBOR and MessagePack).
    return [rng.randrange(256) for _ in range(int(1_000_000 * scale))]


def dict_200k(rng, scale):
    # One dict of 200k distinct ASCII keys (8 to 16 characters) mapping to ints.
    alphabet = string.ascii_letters + string.digits
    size, out = int(200_000 * scale), {}
    while len(out) < size:
        out[''.join(rng.choices(alphabet, k=rng.randint(8, 16)))] = rng.randint(0, 1_000_000)
    return out


def ascii_str_1mb(rng, scale):
    # 100 ASCII strs of 1 MB each (hex digits).
    return [rng.randbytes(500_000).hex() for _ in range(max(2, int(100 * scale)))]


def distinct_ints(rng, scale):
    # 1M ints in 0..1000: above 256 each is its own object (CPython caches only -5..256),
    # so the encoder reads a different int every time, as it does in real data.
    return [rng.randint(0, 1000) for _ in range(int(1_000_000 * scale))]


def dict_mid_keys(rng, scale):
    # One dict of 200k keys of 11 to 24 bytes shaped like "user:ab12cd:17" mapping to ints below 2**40.
    size, out = int(200_000 * scale), {}
    while len(out) < size:
        key = f"{rng.choice(('user', 'item', 'order', 'session'))}:{rng.getrandbits(rng.randint(16, 40)):x}" \
              f":{rng.randint(0, 10 ** rng.randint(1, 6))}"
        if 11 <= len(key) <= 24:
            out[key] = rng.randrange(2**40)
    return out


def floats_half_1m(rng, scale):
    # 1M floats exact in half precision, as floats_half builds them.
    return floats_half(rng, 10 * scale)


def floats_single_1m(rng, scale):
    # 1M floats exact in single precision and not in half, as floats_single builds them.
    return floats_single(rng, 10 * scale)


def utf8_str_140k(rng, scale):
    # 100 strs of about 140 KB of UTF-8 each: words of Latin-1, Greek, Cyrillic and CJK letters, so two or three
    # bytes a letter, as text in those scripts is.
    letters = "àáâäçèéêëíîñóôöúüß" "αβγδεζηθικλμνξπρστ" "абвгдежзийклмнопрст" "日本語中文字東京大学"
    words = ["".join(rng.choices(letters, k=rng.randint(2, 8))) for _ in range(2000)]
    return [" ".join(rng.choices(words, k=12_000)) for _ in range(max(2, int(100 * scale)))]


# Appended at the end: a workload's seed is its place here, so the older ones keep their data.
SYNTHETIC = {f.__name__: f for f in (small_ints, large_ints, floats_half, floats_single, floats_double,
                                     short_str_ascii, short_str_utf8, long_str, bytes_blobs,
                                     deep_nesting, many_small_dicts, huge_flat_list,
                                     dict_200k, ascii_str_1mb, distinct_ints, dict_mid_keys, floats_half_1m,
                                     utf8_str_140k, floats_single_1m)}

# One small value per call: here the per-call overhead is the whole cost.
# call_record's "tavrel_cbor indefinite=False" row is dumps(record, indefinite=False), keyword passed.
PER_CALL = {
    "call_int": lambda: 1,
    "call_none": lambda: None,
    "call_record": lambda: {"id": 7, "name": "sensor-7", "ok": True},
    "call_record4": lambda: {"id": 1234, "name": "sensor-7", "value": 21.5, "tags": ["a", "b"]},
}

# Bulk str and bytes: our time is also compared with one copy of our output into fresh memory.
BULK = ("long_str", "bytes_blobs", "ascii_str_1mb", "utf8_str_140k")
ALL_WORKLOADS = (*DOCUMENTS, *PER_CALL, *SYNTHETIC)


def build(name, data, seed, scale):
    """(value, kind) of a workload, built the same way by bench.py and rss.py."""
    if name in DOCUMENTS:
        with open(Path(data) / f"{name}.json", "rb") as f:
            return json.load(f), "document"
    if name in PER_CALL:
        return PER_CALL[name](), "per-call"
    return SYNTHETIC[name](random.Random(seed + list(SYNTHETIC).index(name)), scale), "synthetic"


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
# A runner is (name, function, call): call is the statement written into the
# timed loop with f the function and v the workload's value, so keyword
# arguments are passed at the call site and no wrapper frame is timed.

PEERS = (  # (runner name, module, how the encoder is obtained, note)
    ("cbor2", "cbor2", lambda m: m.dumps, "cbor2.dumps"),
    ("cbrrr", "cbrrr", lambda m: m.encode_dag_cbor, "cbrrr.encode_dag_cbor (DAG-CBOR: str keys, sorted maps)"),
    ("msgpack", "msgpack", lambda m: m.packb, "msgpack.packb"),
    ("ormsgpack", "ormsgpack", lambda m: m.packb, "ormsgpack.packb"),
    ("msgspec", "msgspec.msgpack", lambda m: m.Encoder().encode,
     "msgspec.msgpack.Encoder().encode, one encoder made once and reused"),
    ("orjson", "orjson", lambda m: m.dumps, "orjson.dumps"),
    ("json", "json", lambda m: m.dumps, "json.dumps"),
)
PEER_NAMES = tuple(p[0] for p in PEERS)


def load_baseline(path):
    """Another build of the module (say, an older commit's), loaded beside ours."""
    spec = importlib.util.spec_from_file_location("tavrel_cbor", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def runners(baseline=None):
    """(name, function, call) for our variants and every importable peer, plus notes."""
    dumps = tavrel_cbor.dumps
    found = [(OURS, dumps, "f(v)"),
             (OURS_DEFINITE, dumps, "f(v, indefinite=False)"),
             (OURS + " max_depth=1000", dumps, "f(v, max_depth=1000)")]
    if baseline is not None:
        found.append((OURS + " baseline", load_baseline(baseline).dumps, "f(v)"))
    notes = {}
    for name, module, get, _ in PEERS:
        try:
            found.append((name, get(importlib.import_module(module)), "f(v)"))
        except Exception as error:  # not installed, or no build for this interpreter
            notes[name] = f"not available ({type(error).__name__}: {error})"
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
    for name in ("cbor2", "cbrrr", "msgpack", "ormsgpack", "msgspec", "orjson"):
        try:
            versions[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            versions[name] = None
    versions["json"] = "stdlib " + platform.python_version()
    return {"cpu": cpu, "cores": os.cpu_count(), "python": sys.version.split()[0],
            "implementation": platform.python_implementation(), "python_build": sys.version.replace("\n", " "),
            "platform": platform.platform(), "versions": versions, "cbor2_implementation": cbor2_implementation(),
            "peer_calls": {name: note for name, _, _, note in PEERS},
            "load_average": os.getloadavg(),
            "date": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat()}


# ---------------------------------------------------------------- measuring

LOOP = """\
def loop(_it, f, v, _wall=_wall, _cpu=_cpu):
    _w0 = _wall()
    _c0 = _cpu()
    for _ in _it:
        {call}
    _c1 = _cpu()
    _w1 = _wall()
    return _w1 - _w0, _c1 - _c0
"""


def make_loop(call):
    """A fresh timing loop (its own code object, so PyPy traces each runner apart)."""
    namespace = {"_wall": time.perf_counter, "_cpu": time.thread_time}
    exec(LOOP.format(call=call), namespace)
    return namespace["loop"]


def timed(loop, fn, arg, number):
    """(wall seconds, CPU seconds) of number calls, the collector off as in timeit."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        return loop(_repeat(None, number), fn, arg)
    finally:
        if enabled:
            gc.enable()


JIT = sys.implementation.name == "pypy"


def calibrate(loop, fn, arg, target):
    """Calls per repeat so that one repeat takes about target seconds of CPU time.

    Sized on CPU time, not wall clock: a loop preempted while being sized would
    otherwise come out a few calls long, and such loops measure the switches."""
    number = 1
    while True:
        _, cpu = timed(loop, fn, arg, number)
        if cpu >= target / 10 or number >= 10**8:
            break
        number *= 10
    number = max(1, round(number * target / max(cpu, 1e-9)))
    if JIT:  # one full repeat first, so the loop is traced and compiled before it is sized and timed
        _, cpu = timed(loop, fn, arg, number)
        number = max(1, round(number * target / max(cpu, 1e-9)))
    return number


def peak_memory(call, fn, value):
    """Peak of Python-allocator memory during one call, output included (CPython only)."""
    if tracemalloc is None:
        return None
    code = compile(call, "<call>", "eval")
    gc.collect()
    tracemalloc.start()
    try:
        out = eval(code, {"f": fn, "v": value})
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    del out
    return peak


def bench_workload(name, kind, value, all_runners, repeat, target, with_peak=False):
    result = {"name": name, "kind": kind, "values": count_values(value), "runs": [], "skipped": {}}
    active = []
    candidates = list(all_runners)
    for index, (runner, fn, call) in enumerate(candidates):
        arg = value
        if runner == MEMCPY:
            arg = fn  # the source buffer, made beforehand: only the copy into a fresh bytes is timed
            fn = bytes
        try:
            out = eval(call, {"f": fn, "v": arg})
        except Exception as error:  # the peer cannot encode this input
            result["skipped"][runner] = f"{type(error).__name__}: {str(error)[:80]}"
            continue
        if runner == OURS:
            result["decodes_equal"] = decodes_equal(out, value)
            if name in BULK:  # one copy of our output's size, from a buffer made here
                candidates.insert(index + 3, (MEMCPY, bytearray(out), "f(v)"))
        loop = make_loop(call)
        gc.collect()
        active.append({"name": runner, "fn": fn, "arg": arg, "call": call, "loop": loop,
                       "number": calibrate(loop, fn, arg, target), "out_bytes": len(out),
                       "wall": [], "cpu": []})
        del out
    for _ in range(repeat):  # interleaved: one repeat of every runner, then the next
        for run in active:
            gc.collect()
            wall, cpu = timed(run["loop"], run["fn"], run["arg"], run["number"])
            run["wall"].append(wall / run["number"])
            run["cpu"].append(cpu / run["number"])
    medians = {run["name"]: (statistics.median(run["cpu"]), statistics.median(run["wall"])) for run in active}

    def ratio(t, of, index):
        return t / medians[of][index] if of in medians and medians[of][index] > 0 else None

    for run in active:
        cpu, wall = medians[run["name"]]
        result["runs"].append({
            "name": run["name"], "call": run["call"], "cpu_s": cpu, "wall_s": wall,
            "ns_per_value": cpu * 1e9 / result["values"], "out_bytes": run["out_bytes"],
            "mb_per_s": run["out_bytes"] / cpu / 1e6 if cpu > 0 else None,
            "ratio_cpu": ratio(cpu, OURS, 0), "ratio_cpu_definite": ratio(cpu, OURS_DEFINITE, 0),
            "ratio_wall": ratio(wall, OURS, 1),
            "peak_bytes": (peak_memory(run["call"], run["fn"], run["arg"])
                           if with_peak and run["name"] != MEMCPY else None),
            "number": run["number"], "cpu_times_s": run["cpu"], "wall_times_s": run["wall"]})
    if MEMCPY in medians:  # our time / one copy of the output (target: at most 1.05)
        result["vs_memcpy"] = {framing: medians[ours][0] / medians[MEMCPY][0]
                               for framing, ours in (("default", OURS), ("indefinite=False", OURS_DEFINITE))
                               if ours in medians}
    # The timing loop with an empty body: what every per-call time above includes.
    loop = make_loop("f")
    number = max(run["number"] for run in active) if active else 1
    result["loop_overhead_s"] = statistics.median(timed(loop, None, None, number)[1] / number for _ in range(3))
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


def fmt_time(t):
    if t is None:
        return "—"
    if t >= 1e-3:
        return f"{t * 1e3:.3f} ms"
    if t >= 1e-6:
        return f"{t * 1e6:.2f} us"
    return f"{t * 1e9:.1f} ns"


def fmt_ratio(r):
    return "—" if r is None else f"{r:.2f}"


def print_workload(result):
    print(f"\n== {result['name']} ({result['kind']}, {result['values']:,} values) ==")
    print(f"{'runner':<32}{'CPU/call':>12}{'wall/call':>12}{'ns/value':>10}{'out bytes':>13}{'MB/s':>9}"
          f"{'÷ours':>8}{'÷ours,def':>10}")
    for run in result["runs"]:
        mbs = "—" if run["mb_per_s"] is None else f"{run['mb_per_s']:.1f}"
        print(f"{run['name']:<32}{fmt_time(run['cpu_s']):>12}{fmt_time(run['wall_s']):>12}"
              f"{run['ns_per_value']:>10.1f}{run['out_bytes']:>13,}{mbs:>9}"
              f"{fmt_ratio(run['ratio_cpu']):>8}{fmt_ratio(run['ratio_cpu_definite']):>10}")
    runs = {run["name"]: run for run in result["runs"]}
    if "ormsgpack" in runs:
        r = runs["ormsgpack"]
        print(f"  ormsgpack CPU time / ours: default {fmt_ratio(r['ratio_cpu'])}, "
              f"indefinite=False {fmt_ratio(r['ratio_cpu_definite'])} (target >= 1.0)")
    if "vs_memcpy" in result:
        print("  our CPU time / one memcpy of the output: "
              + ", ".join(f"{k} {v:.2f}" for k, v in result["vs_memcpy"].items()) + " (target <= 1.05)")
    if result["kind"] == "per-call":
        print(f"  every time above includes the timing loop itself: {fmt_time(result['loop_overhead_s'])} per call")
    for runner, note in result["skipped"].items():
        print(f"  skipped {runner}: {note}")
    check = result.get("decodes_equal")
    if check is False:
        print("  WARNING: cbor2 does not decode our output back to the input")
    elif isinstance(check, str):
        print(f"  our output {check}")


def print_summary(results):
    """CPU-time ratios, peer / ours, in both framings: >= 1 means we are faster."""
    peers = [p for p in PEER_NAMES if any(p in {r["name"] for r in w["runs"]} for w in results)]
    print("\n== CPU time ratios, peer / ours (default | indefinite=False); >= 1: we are faster ==")
    print(f"{'workload':<18}{'ours CPU':>12}" + "".join(f"{p:>16}" for p in peers))
    met = {"default": 0, "indefinite=False": 0}
    compared = 0
    for w in results:
        runs = {r["name"]: r for r in w["runs"]}
        if OURS not in runs:
            continue
        cells = []
        for p in peers:
            r = runs.get(p)
            cells.append("—" if r is None else f"{fmt_ratio(r['ratio_cpu'])} | {fmt_ratio(r['ratio_cpu_definite'])}")
        print(f"{w['name']:<18}{fmt_time(runs[OURS]['cpu_s']):>12}" + "".join(f"{c:>16}" for c in cells))
        r = runs.get("ormsgpack")
        if r is not None:
            compared += 1
            met["default"] += r["ratio_cpu"] is not None and r["ratio_cpu"] >= 1.0
            met["indefinite=False"] += r["ratio_cpu_definite"] is not None and r["ratio_cpu_definite"] >= 1.0
    if compared:
        print(f"ratio >= 1.0 against ormsgpack on {met['default']}/{compared} workloads with our default framing, "
              f"{met['indefinite=False']}/{compared} with indefinite=False")
    bulk = [w for w in results if "vs_memcpy" in w]
    if bulk:
        print("our CPU time / one memcpy of the output (target <= 1.05): " + "; ".join(
            f"{w['name']} " + ", ".join(f"{k} {v:.2f}" for k, v in w["vs_memcpy"].items()) for w in bulk))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="directory of the JSON documents")
    parser.add_argument("--repeat", type=int, default=5, help="timed repeats per runner (median reported)")
    parser.add_argument("--target", type=float, default=0.2, help="seconds per timed repeat (default 0.2)")
    parser.add_argument("--quick", action="store_true",
                        help="synthetic inputs at 1/10 size, 3 repeats of 0.05 s")
    parser.add_argument("--only", help="comma-separated workload names")
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--json", type=Path, help="write all results to this file")
    parser.add_argument("--tracemalloc", action="store_true",
                        help="also record tracemalloc's peak during one call (CPython; see rss.py for real peaks)")
    parser.add_argument("--baseline", type=Path,
                        help="a tavrel_cbor module file from another build, timed as one more runner")
    args = parser.parse_args(argv)
    if args.quick:
        repeat, scale, target = min(args.repeat, 3), 0.1, min(args.target, 0.05)
    else:
        repeat, scale, target = args.repeat, 1.0, args.target
    names = list(ALL_WORKLOADS)
    if args.only:
        names = [n.strip() for n in args.only.split(",")]
        unknown = [n for n in names if n not in ALL_WORKLOADS]
        if unknown:
            parser.error(f"unknown workloads {unknown}; choose from {list(ALL_WORKLOADS)}")

    all_runners, missing = runners(args.baseline)
    info = machine_info()
    print(f"{info['cpu']}, {info['cores']} cores, {info['implementation']} {info['python']}, {info['date']}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in info["versions"].items()))
    print(f"cbor2 implementation: {info['cbor2_implementation']}; msgspec runner: {info['peer_calls']['msgspec']}")
    for runner, note in missing.items():
        print(f"peer {runner} skipped everywhere: {note}")

    started = time.perf_counter()
    results = []
    for name in names:
        value, kind = build(name, args.data, args.seed, scale)
        results.append(bench_workload(name, kind, value, all_runners, repeat, target, args.tracemalloc))
        print_workload(results[-1])
        del value
    print_summary(results)
    elapsed = time.perf_counter() - started
    print(f"\n{len(results)} workloads in {elapsed:.0f} s")

    if args.json:
        info["load_average_end"] = os.getloadavg()
        settings = {"repeat": repeat, "quick": args.quick, "seed": args.seed, "scale": scale, "target_s": target,
                    "clock": "time.thread_time (ratios), time.perf_counter (wall)", "missing_peers": missing,
                    "elapsed_s": elapsed, "command": " ".join(sys.argv)}
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"machine": info, "settings": settings, "workloads": results},
                                        indent=1) + "\n")
        print(f"wrote {args.json}")


if __name__ == "__main__":
    main()
