#!/usr/bin/env python3
"""Instruction counts of one encode (or, --decode, one decode), from valgrind's callgrind.

Default mode: instructions per encode for tavrel_cbor and its peers
(cbor2, cbrrr, msgpack, ormsgpack, msgspec, orjson; --libs to choose), on
the real documents or, with --only, any of bench.py's workloads.  A tiny
driver builds the input with bench.py's own builder, makes one warm-up call
(it fills the UTF-8 caches of the str objects, so every later call sees the
same input state) and then encodes it --calls more times (a per-call
workload 1000 times as often) inside one function that it calls through
sys.call_tracing; only instructions run inside that call are collected.  A
baseline run does the same with no calls after the warm-up.  Instructions per
encode = (run - baseline) / calls, the driver's loop included (a few dozen
instructions, the same for everyone).  Building the input, imports and
teardown are left out: CPython's small-object allocator spends a different
number of instructions on them from one run to the next (it moved a million
floats' count by 7 M with the name of the run's temporary directory).
A library whose warm-up call raises (or that is not installed) is skipped for
that workload.

--decode: the same count for decoding, each library reading its own
format of the workload, made by its own encoder before the warm-up (so the
baseline run makes it too): tavrel_cbor.loads of dumps' default output,
cbor2.loads of our definite-length output, msgpack.unpackb,
ormsgpack.unpackb and msgspec.msgpack.Decoder().decode of MessagePack,
orjson.loads of JSON.  It also counts decode.py's records workload, with
decode.py's default seed.

    python bench/callgrind.py [--calls 3] [--libs tavrel_cbor,ormsgpack] [--json bench/results/callgrind.json]

--profile mode: where our instructions go, per real document.  Needs a build
with symbols (see bench/README.md) and that interpreter in --python.  Only
instructions inside the dumps entry (the whole dumps call) are
collected, a dump is written after each call, and the last dump (one
steady-state call) is read with `callgrind_annotate --inclusive=no
--tree=calling`, which lists every function's self cost split by the source
file each line came from (so inlined code keeps its file), followed by the
inclusive cost of every call it makes.  Buckets, in this order:

  float      our code in a function whose name holds "float", or a cbor_parse*/
             parser function, or in codec/float_writer.cpp, decoders.cpp,
             parser.cpp; plus the malloc/free/memcpy those functions call
  conversion our code in binding/dump_value.*, the pybind11 headers (casters,
             handles) and std::variant dispatch
  writers    our code in codec/include/cbor_encoding.hpp, codec/copy.cpp,
             binding/scalar_writers.h and binding/output_buffer.h, plus the
             malloc/free/memcpy it calls (payload copies into the output)
  growth     everything OutputBuffer::grow and OutputBuffer::finish_heap
             call (inclusive: the result growing in place, or moving)
  copy       PyBytes_FromStringAndSize called from our code (inclusive)
  walk       the rest of our own code: binding/serializer.h, call.cpp,
             errors.cpp, native_stack.*, and Python header macros inlined
             into it
  rest       everything our code calls that is not above (PyLong_*,
             PyUnicode_AsUTF8AndSize, PyDict_Next, PyFloat_AsDouble, ...),
             i.e. the collected total minus all other buckets
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench import ALL_WORKLOADS, DEFAULT_DATA, DOCUMENTS, PER_CALL, build, count_values  # noqa: E402

# A per-call workload is called this many times more than a document, so that
# the count per call is not lost in the noise of the interpreter's start.
PER_CALL_FACTOR = 1000

DRIVER = """\
import sys
DEFINITE = "tavrel_cbor_definite"
lib, workload, data, calls, seed = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
sys.path.insert(0, sys.argv[6])
from bench import build
doc, kind = build(workload, data, seed, 1.0)
try:
    if lib == "tavrel_cbor":
        from tavrel_cbor import dumps as encode
    elif lib == DEFINITE:
        from tavrel_cbor import dumps as encode
    elif lib == "cbor2":
        from cbor2 import dumps as encode
    elif lib == "cbrrr":
        from cbrrr import encode_dag_cbor as encode
    elif lib == "msgpack":
        from msgpack import packb as encode
    elif lib == "ormsgpack":
        from ormsgpack import packb as encode
    elif lib == "msgspec":
        import msgspec.msgpack
        encode = msgspec.msgpack.Encoder().encode
    elif lib == "orjson":
        from orjson import dumps as encode
    encode(doc)
except Exception as error:
    print(f"{type(error).__name__}: {str(error)[:80]}")
    sys.exit(3)
if lib == DEFINITE:  # the keyword passed at the call site, as bench.py's row does
    def timed():
        for _ in range(calls):
            encode(doc, indefinite=False)
else:
    def timed():
        for _ in range(calls):
            encode(doc)
sys.call_tracing(timed, ())  # the one call that is counted: see TIMED
"""
DECODE_DRIVER = """\
import sys
lib, workload, data, calls, seed = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
sys.path.insert(0, sys.argv[6])
from bench import build
if workload in DECODE_ONLY:
    import decode
    doc = decode.build(workload, data, DECODE_SEED, 1.0)
else:
    doc, kind = build(workload, data, seed, 1.0)
try:
    import tavrel_cbor
    if lib == "tavrel_cbor":
        data, decode = tavrel_cbor.dumps(doc), tavrel_cbor.loads
    elif lib == "cbor2":
        from cbor2 import loads as decode
        data = tavrel_cbor.dumps(doc, indefinite=False)
    elif lib == "msgpack":
        import msgpack
        data, decode = msgpack.packb(doc), msgpack.unpackb
    elif lib == "ormsgpack":
        import ormsgpack
        data, decode = ormsgpack.packb(doc), ormsgpack.unpackb
    elif lib == "msgspec":
        import msgspec.msgpack
        data, decode = msgspec.msgpack.encode(doc), msgspec.msgpack.Decoder().decode
    elif lib == "orjson":
        import orjson
        data, decode = orjson.dumps(doc), orjson.loads
    else:
        raise ValueError("no decoder measured for " + lib)
    decode(data)
except Exception as error:
    print(f"{type(error).__name__}: {str(error)[:80]}")
    sys.exit(3)
def timed():
    for _ in range(calls):
        decode(data)
sys.call_tracing(timed, ())  # the one call that is counted: see TIMED
"""
# decode.py's own workloads, with its default seed, so both count the same data.
DECODE_ONLY = ("records",)
DECODE_SEED = 20261208
DECODE_DRIVER = DECODE_DRIVER.replace("DECODE_ONLY", repr(DECODE_ONLY)).replace("DECODE_SEED", str(DECODE_SEED))
LIBRARIES = ("tavrel_cbor", "cbor2", "cbrrr", "msgpack", "ormsgpack", "msgspec", "orjson")
# dumps(v, indefinite=False), chosen by --libs only.
DEFINITE = "tavrel_cbor_definite"
DECODERS = ("tavrel_cbor", "cbor2", "msgpack", "ormsgpack", "msgspec", "orjson")
PEERS = LIBRARIES[1:]
BUCKETS = ("conversion", "walk", "writers", "growth", "float", "copy", "rest")
# The entry of every dumps call, spelled twice: when both patterns match,
# callgrind 3.19 honours --dump-after only if its pattern is the longer one.
TOGGLE, DUMP_AFTER = "tavrel::dumps_entry*", "tavrel::dumps_entry(*"
# What sys.call_tracing runs in; the drivers call nothing else through it.
TIMED = "_PyEval_CallTracing"
TIMED_ONLY = ("--collect-atstart=no", f"--toggle-collect={TIMED}")
MEMORY = re.compile(r"^(malloc|calloc|realloc|free|cfree|_?_?mem(cpy|move|set)\w*|operator (new|delete))")
LINE = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+([*>])\s+(.*)$")
OBJ = re.compile(r" \[(/[^\]]*|\?\?\?)\]$")
CALLS = re.compile(r" \([\d,]+x\)$")


def callgrind(python, args, workdir, extra=(), source=DRIVER):
    """Runs the driver on (lib, workload, data, calls, seed) under callgrind; returns the output file stem."""
    lib, workload, _, calls, _ = args
    out = Path(workdir) / f"cg.{lib}.{workload}.{calls}"
    driver = Path(workdir) / "driver.py"
    driver.write_text(source)
    cmd = ["valgrind", "--tool=callgrind", "--dump-instr=no", f"--callgrind-out-file={out}", *extra,
           python, str(driver), *map(str, args), str(HERE)]
    env = dict(os.environ, PYTHONHASHSEED="0")  # same str hashes, so the same dict work, every run
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
    if done.returncode == 3:  # the library is missing or refused the document
        raise Skip(done.stdout.strip())
    done.check_returncode()
    return out


class Skip(Exception):
    pass


def totals(path):
    for line in Path(path).read_text().splitlines():
        if line.startswith(("totals:", "summary:")):
            count = int(line.split()[1])
            if count == 0:  # the toggle never fired: the interpreter has no symbol of that name
                raise RuntimeError(f"nothing collected in {path}: is the interpreter stripped?")
            return count
    raise RuntimeError(f"no totals in {path}")


def instructions(python, data, docs, calls, workdir, libs=LIBRARIES, seed=20240601, source=DRIVER):
    """Per workload: instructions per encode (or decode, with DECODE_DRIVER) of each library,
    and peer / ours (above 1: we use fewer)."""
    results = {}
    print(f"{'workload':<16}{'values':>9}" + "".join(f"{lib:>24}" for lib in libs) + "   (instructions, ÷ ours)")
    for doc in docs:
        if doc in DECODE_ONLY:
            import decode
            value = decode.build(doc, data, DECODE_SEED, 1.0)
        else:
            value = build(doc, data, seed, 1.0)[0]
        row = {"values": count_values(value), "ratios": {}, "skipped": {}}
        n = calls * PER_CALL_FACTOR if doc in PER_CALL else calls
        for lib in libs:
            try:
                base, run = (totals(callgrind(python, (lib, doc, data, k, seed), workdir, TIMED_ONLY, source))
                             for k in (0, n))
            except Skip as why:
                row[lib] = None
                row["skipped"][lib] = str(why)
                continue
            row[lib] = (run - base) / n
        ours = row.get("tavrel_cbor")
        for lib in libs:
            if lib != "tavrel_cbor" and row.get(lib) and ours:
                row["ratios"][lib] = row[lib] / ours
        row["ratio"] = row["ratios"].get("cbor2")  # the older files' single column
        results[doc] = row
        cells = []
        for lib in libs:
            if row[lib] is None:
                cells.append("—")
            else:
                ratio = f" ({row['ratios'][lib]:.2f})" if lib in row["ratios"] else ""
                cells.append(f"{row[lib]:,.0f}{ratio}")
        print(f"{doc:<16}{row['values']:>9,}" + "".join(f"{c:>24}" for c in cells), flush=True)
        for lib, why in row["skipped"].items():
            print(f"  skipped {lib}: {why}")
    return results


# ---------------------------------------------------------------- profile

def leaf(function):
    """'int ns::Cls<T>::name(args)'2 -> 'name'."""
    text, depth, out = re.sub(r"'\d+$", "", function), 0, []
    for ch in text:
        if ch in "<(":
            depth += 1
        elif ch in ">)":
            depth -= 1
        elif depth == 0:
            out.append(ch)
    return "".join(out).split()[-1].split("::")[-1] if "".join(out).split() else text


def is_ours(function, obj, module):
    if obj is not None:
        return module in obj
    return re.search(r"tavrel|pybind11|\bcbor_|_cbor_", function) is not None


def bucket_of(path, function):
    name, base = leaf(function), os.path.basename(path)
    if "float" in name or name.startswith(("cbor_parse", "cbor_next_val", "cbor_parser", "cbor_val")) \
            or base in ("float_writer.cpp", "decoders.cpp", "parser.cpp"):
        return "float"
    if base.startswith("dump_value") or "/pybind11/" in path or base == "variant" or "__variant" in function:
        return "conversion"
    if base in ("cbor_encoding.hpp", "copy.cpp", "scalar_writers.h", "output_buffer.h"):
        return "writers"
    return "walk"


def parse_entry(text):
    obj = OBJ.search(text)
    text = OBJ.sub("", text)
    text = CALLS.sub("", text)
    path, _, function = text.partition(":")
    return path, function, obj.group(1) if obj else None


def attribute(annotated, module="tavrel_cbor"):
    """Splits one call's instructions into BUCKETS (rules in the module doc)."""
    buckets = dict.fromkeys(BUCKETS, 0)
    caller = None  # (path, function, ours) of the current '*' block
    for line in annotated.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        cost, kind, (path, function, obj) = int(m.group(1).replace(",", "")), m.group(2), parse_entry(m.group(3))
        if kind == "*":
            caller = (path, function, is_ours(function, obj, module))
            if caller[2]:
                buckets[bucket_of(path, function)] += cost
            continue
        if caller is None or not caller[2] or is_ours(function, obj, module):
            continue  # calls between our functions are covered by self costs
        callee = leaf(function)
        if callee == "PyBytes_FromStringAndSize":
            buckets["copy"] += cost
        elif leaf(caller[1]) in ("grow", "finish_heap"):
            buckets["growth"] += cost
        elif MEMORY.match(callee):
            buckets[bucket_of(caller[0], caller[1])] += cost
        else:
            buckets["rest"] += cost
    return buckets


def profile(python, data, docs, workdir):
    results = {}
    for doc in docs:
        stem = callgrind(python, ("tavrel_cbor", doc, data, 1, 20240601), workdir,
                         ("--collect-atstart=no", f"--toggle-collect={TOGGLE}", f"--dump-after={DUMP_AFTER}"))
        dumps = sorted(Path(workdir).glob(stem.name + ".*"), key=lambda p: int(p.suffix[1:]))
        last = str(dumps[-1])  # the call after the warm-up
        total = totals(last)
        annotated = subprocess.run(["callgrind_annotate", "--inclusive=no", "--tree=calling", "--threshold=100",
                                    last], check=True, capture_output=True, text=True).stdout
        buckets = attribute(annotated)
        unattributed = total - sum(buckets.values())
        buckets["rest"] += unattributed
        results[doc] = {"total": total, "unattributed": unattributed, "buckets": buckets}
        shares = "  ".join(f"{b} {100 * buckets[b] / total:5.1f}%" for b in BUCKETS)
        print(f"{doc:<14}{total:>13,} instr/doc  {shares}  (residual {unattributed:,})", flush=True)
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable, help="interpreter with the libraries installed")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--only", help="comma-separated documents")
    parser.add_argument("--calls", type=int, default=3, help="timed calls after the warm-up")
    parser.add_argument("--libs", help=f"comma-separated, from {','.join(LIBRARIES)} (default: all) or {DEFINITE}")
    parser.add_argument("--decode", action="store_true", help="count decoding instead of encoding")
    parser.add_argument("--profile", action="store_true", help="attribute our instructions to buckets")
    parser.add_argument("--json", type=Path, help="write (or update) results in this file")
    parser.add_argument("--keep", type=Path, help="keep callgrind outputs in this directory")
    args = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        sys.exit("valgrind not found: apt-get install valgrind")
    docs = args.only.split(",") if args.only else list(DOCUMENTS)
    unknown = [doc for doc in docs if doc not in ALL_WORKLOADS and not (args.decode and doc in DECODE_ONLY)]
    if unknown:
        parser.error(f"unknown workloads {unknown}; choose from {list(ALL_WORKLOADS)}")
    workdir = args.keep or Path(tempfile.mkdtemp(prefix="tavrel-cg-"))
    workdir.mkdir(parents=True, exist_ok=True)
    try:
        if args.profile:
            found = profile(args.python, args.data, docs, workdir)
        else:
            default = DECODERS if args.decode else LIBRARIES
            known = default if args.decode else (*LIBRARIES, DEFINITE)
            libs = args.libs.split(",") if args.libs else default
            unknown = [lib for lib in libs if lib not in known]
            if unknown:
                parser.error(f"unknown libraries {unknown}")
            found = instructions(args.python, args.data, docs, args.calls, workdir, libs,
                                 source=DECODE_DRIVER if args.decode else DRIVER)
    finally:
        if args.keep is None:
            shutil.rmtree(workdir, ignore_errors=True)
    if args.json:
        saved = json.loads(args.json.read_text()) if args.json.exists() else {}
        probe = ("import json, sys, importlib.metadata as m\nv = {}\nfor n in sys.argv[1:]:\n"
                 "    try: v[n] = m.version(n)\n    except m.PackageNotFoundError: v[n] = None\n"
                 "print(json.dumps(v))")
        versions = json.loads(subprocess.run([args.python, "-c", probe, *LIBRARIES], capture_output=True,
                                             text=True).stdout)
        versions["valgrind"] = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
        saved["profile" if args.profile else "decode_instructions" if args.decode else "instructions"] = {
            "python": args.python, "versions": versions,
            "calls": 1 if args.profile else args.calls, "documents": found}
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(saved, indent=1) + "\n")


if __name__ == "__main__":
    main()
