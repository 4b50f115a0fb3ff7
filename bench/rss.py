#!/usr/bin/env python3
"""Peak resident memory of one encode, each in a fresh process.

For every (library, workload) pair a child interpreter builds the workload's
input (the same builders and seeds as bench.py), returns the allocator's free
memory to the system (glibc malloc_trim), encodes a tiny value once (lazy
set-up), resets the kernel's high-water mark of the process (writing "5" to
/proc/self/clear_refs), makes one call and reads VmHWM again. The increase of
the high-water mark is everything the call made resident, its output included;
it is reported over the output's size. Target for tavrel_cbor: at most 1.1x the
output (plus O(depth)) for outputs above 1 MB.

    python bench/rss.py [--python PY] [--only canada,bytes_blobs] [--libs tavrel_cbor,ormsgpack]
                        [--freed-first] [--kept N] [--json bench/results/rss.json]

--freed-first frees a 30 MiB block before the call: glibc then raises its
mmap threshold, and the output grows inside the heap.  --kept N keeps N more
results and reports what they cost in resident memory over their size.
"""
import argparse
import ctypes
import ctypes.util
import gc
import json
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Workloads whose output is above 1 MB at full size.
WORKLOADS = ("canada", "floats_double", "short_str_utf8", "long_str", "bytes_blobs", "huge_flat_list",
             "dict_200k", "ascii_str_1mb", "distinct_ints", "dict_mid_keys", "floats_half_1m", "utf8_str_140k")
OURS = "tavrel_cbor"
OURS_DEFINITE = OURS + " indefinite=False"
LIBRARIES = (OURS, OURS_DEFINITE, "ormsgpack", "msgspec", "msgpack", "cbor2", "cbrrr", "orjson")


def status_kib(field):
    match = re.search(rf"^{field}:\s+(\d+) kB", Path("/proc/self/status").read_text(), re.M)
    return int(match.group(1)) if match else None


def encoder(lib):
    """A one-argument function that makes the call bench.py times for this runner."""
    if lib == OURS:
        from tavrel_cbor import dumps
        return dumps
    if lib == OURS_DEFINITE:
        from tavrel_cbor import dumps
        return lambda v: dumps(v, indefinite=False)
    import importlib
    from bench import PEERS
    for name, module, get, _ in PEERS:
        if name == lib:
            return get(importlib.import_module(module))
    raise SystemExit(f"unknown library {lib}")


def raise_mmap_threshold():
    """Frees a 30 MiB block, as a program that once held a large buffer does: glibc then raises its mmap
    threshold to that size, and later outputs below it grow inside the heap instead of in their own mapping."""
    block = bytearray(30 << 20)
    block[::4096] = b"x" * len(block[::4096])
    del block


def child(lib, workload, data, seed, scale, freed_first=False, kept=0):
    sys.path.insert(0, str(HERE))
    from bench import build
    try:
        encode = encoder(lib)
    except ImportError as error:
        return {"skipped": f"not available ({error})"}
    value, _ = build(workload, data, seed, scale)
    for tiny in ([1, "a", 1.5, {"k": None}], b"b"):  # lazy set-up outside the measured call
        try:
            encode(tiny)
        except Exception:
            pass
    if freed_first:
        raise_mmap_threshold()
    gc.collect()
    gc.disable()
    libc = ctypes.util.find_library("c")
    trim = getattr(ctypes.CDLL(libc), "malloc_trim", None) if libc else None
    if trim is not None:
        trim(0)
    try:
        Path("/proc/self/clear_refs").write_text("5")
        method = "VmHWM reset through /proc/self/clear_refs"
        before = status_kib("VmHWM")
    except OSError:
        method = "ru_maxrss (not reset: undercounts when building the input peaked higher)"
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    rss_before = status_kib("VmRSS")
    try:
        out = encode(value)
    except Exception as error:
        return {"skipped": f"{type(error).__name__}: {str(error)[:80]}"}
    if method.startswith("VmHWM"):
        after = status_kib("VmHWM")
    else:
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    rss_after = status_kib("VmRSS")
    peak = (after - before) * 1024
    kept_over_output = None
    if kept:  # what results the caller keeps cost: RSS grown by `kept` more results, over their total size
        start = status_kib("VmRSS")
        results = [encode(value) for _ in range(kept)]
        kept_over_output = (status_kib("VmRSS") - start) * 1024 / max(1, sum(map(len, results)))
        del results
    return {"out_bytes": len(out), "peak_increase_bytes": peak, "peak_over_output": peak / max(1, len(out)),
            "retained_bytes": (rss_after - rss_before) * 1024 if rss_before is not None else None,
            "kept_over_output": kept_over_output, "freed_first": freed_first,
            "method": method, "trimmed": trim is not None}


def run_child(python, lib, workload, args):
    cmd = [python, str(Path(__file__).resolve()), "--child", lib, workload, "--data", str(args.data),
           "--seed", str(args.seed), "--scale", str(args.scale), "--kept", str(args.kept)]
    if args.freed_first:
        cmd.append("--freed-first")
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        reason = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else done.returncode
        return {"skipped": f"child failed: {reason}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def main(argv=None):
    sys.path.insert(0, str(HERE))
    from bench import DEFAULT_DATA, ALL_WORKLOADS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable, help="interpreter for the children")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--only", help="comma-separated workloads (default: those with outputs above 1 MB)")
    parser.add_argument("--libs", help=f"comma-separated, from {','.join(LIBRARIES)}")
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--scale", type=float, default=1.0, help="size of the synthetic inputs (--quick: 0.1)")
    parser.add_argument("--quick", action="store_true", help="synthetic inputs at 1/10 size")
    parser.add_argument("--json", type=Path)
    parser.add_argument("--freed-first", action="store_true",
                        help="free a 30 MiB block before the call, which raises glibc's mmap threshold")
    parser.add_argument("--kept", type=int, default=0,
                        help="also keep this many more results and report their resident cost over their size")
    parser.add_argument("--child", nargs=2, metavar=("LIB", "WORKLOAD"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.quick:
        args.scale = 0.1
    if args.child:
        print(json.dumps(child(*args.child, args.data, args.seed, args.scale, args.freed_first, args.kept)))
        return
    workloads = args.only.split(",") if args.only else list(WORKLOADS)
    unknown = [w for w in workloads if w not in ALL_WORKLOADS]
    if unknown:
        parser.error(f"unknown workloads {unknown}")
    libs = args.libs.split(",") if args.libs else list(LIBRARIES)
    probe = subprocess.run([args.python, "-c", "import sys, platform; print(platform.python_implementation(), "
                            "sys.version.split()[0])"], capture_output=True, text=True).stdout.strip()
    print(f"{probe}; peak RSS increase of one call / output size, each in a fresh process (scale {args.scale})"
          + ("; after freeing a 30 MiB block" if args.freed_first else "")
          + (f"; k: resident cost of {args.kept} kept results / their size" if args.kept else ""))
    print(f"{'workload':<16}" + "".join(f"{lib.replace(' indefinite=False', ' def'):>17}" for lib in libs))
    started = time.perf_counter()
    results = {}
    for workload in workloads:
        row = results[workload] = {}
        for lib in libs:
            row[lib] = run_child(args.python, lib, workload, args)
        cells = []
        for lib in libs:
            r = row[lib]
            if "skipped" in r:
                cells.append("—")
            else:
                over = lib.startswith(OURS) and r["out_bytes"] > 1_000_000 and r["peak_over_output"] > 1.1
                mark = "*" if over else ""
                kept = "" if r.get("kept_over_output") is None else f" k{r['kept_over_output']:.2f}"
                cells.append(f"{r['peak_over_output']:.2f}{mark}{kept} ({r['out_bytes'] / 1e6:.1f} MB)")
        print(f"{workload:<16}" + "".join(f"{c:>17}" for c in cells), flush=True)
    for workload, row in results.items():
        for lib, r in row.items():
            if "skipped" in r and not r["skipped"].startswith("not available"):
                print(f"  skipped {lib} on {workload}: {r['skipped']}")
    methods = {r.get("method") for row in results.values() for r in row.values() if "method" in r}
    print(f"method: {', '.join(sorted(methods))}; * marks ours above 1.1x on an output above 1 MB")
    elapsed = time.perf_counter() - started
    print(f"{len(workloads) * len(libs)} processes in {elapsed:.0f} s")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"python": probe, "interpreter": args.python, "scale": args.scale,
                                         "seed": args.seed, "freed_first": args.freed_first, "kept": args.kept,
                                         "elapsed_s": elapsed, "workloads": results},
                                        indent=1) + "\n")
        print(f"wrote {args.json}")


if __name__ == "__main__":
    main()
