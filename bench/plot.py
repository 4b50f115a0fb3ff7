#!/usr/bin/env python3
"""Chart and markdown tables from the output of bench.py --json (and rss.py, callgrind.py).

    python bench/plot.py bench/results/results.json [--rss bench/results/rss.json]
                         [--callgrind bench/results/callgrind.json]

Writes ratios.png and table.md into bench/results (or --out DIR); a results
file named results-NAME.json gives ratios-NAME.png and table-NAME.md, so the
tables of several interpreters can sit side by side.  Ratios are peer CPU
time / our CPU time: above 1 we are faster.
"""
import argparse
import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

OURS = "tavrel_cbor"
OURS_DEFINITE = OURS + " indefinite=False"
MEMCPY = "memcpy of our output"
PEERS = ("ormsgpack", "msgspec", "orjson", "cbor2", "msgpack", "cbrrr", "json")
PLOTTED = ("ormsgpack", "msgspec", "orjson", "cbor2")
VARIANTS = (OURS_DEFINITE, OURS + " max_depth=1000")
BUCKET_NAMES = {
    "conversion": "conversion/matching", "walk": "serializer walk", "writers": "writers",
    "growth": "generator growth", "float": "float round trip", "copy": "final copy", "rest": "Python C API, rest",
}


def runs_by_name(workload):
    return {run["name"]: run for run in workload["runs"]}


def cpu_ratio(run, framing):
    """peer / ours from CPU time; files from before CPU time only have the wall-clock ratio."""
    if framing == "definite":
        return run.get("ratio_cpu_definite")
    return run.get("ratio_cpu", run.get("ratio_to_ours"))


def ratio_cell(runs, name, framing="default"):
    run = runs.get(name)
    value = None if run is None else cpu_ratio(run, framing)
    if value is None:
        return "—"
    return f"**{value:.2f}**" if value < 1 else f"{value:.2f}"


def fmt_time(t):
    if t is None:
        return "—"
    if t >= 1e-3:
        return f"{t * 1e3:.2f} ms"
    if t >= 1e-6:
        return f"{t * 1e6:.1f} µs"
    return f"{t * 1e9:.0f} ns"


def label(workload):
    return workload["name"] + (" *" if workload["kind"] == "document" else "")


def plot(results, path):
    workloads = [w for w in results["workloads"] if OURS in runs_by_name(w)]
    peers = [p for p in PLOTTED if any(p in runs_by_name(w) for w in workloads)]
    if len(peers) < 2:  # e.g. PyPy, where ormsgpack, msgspec and orjson do not build: show what ran
        peers += [p for p in PEERS if p not in PLOTTED and p != "json" and any(p in runs_by_name(w) for w in workloads)]
    framings = [("default", "ours: dumps(v)")]
    if any(cpu_ratio(r, "definite") is not None for w in workloads for r in w["runs"]):
        framings.append(("definite", "ours: dumps(v, indefinite=False)"))
    fig, axes = plt.subplots(len(framings), 1, figsize=(max(9, 0.75 * len(workloads) + 2), 4.2 * len(framings)),
                             squeeze=False)
    width = 0.8 / max(1, len(peers))
    for (framing, title), ax in zip(framings, axes[:, 0]):
        for i, peer in enumerate(peers):
            xs, ys = [], []
            for x, workload in enumerate(workloads):
                run = runs_by_name(workload).get(peer)
                if run is not None and cpu_ratio(run, framing):
                    xs.append(x + (i - (len(peers) - 1) / 2) * width)
                    ys.append(cpu_ratio(run, framing))
            ax.bar(xs, ys, width, label=peer)
        ax.axhline(1.0, color="black", linewidth=1)
        ax.set_yscale("log")
        ax.set_xticks(range(len(workloads)))
        ax.set_xticklabels([label(w) for w in workloads], rotation=35, ha="right", fontsize=8)
        ax.set_ylabel("peer CPU time / ours\n(log; >1: we are faster)", fontsize=9)
        ax.set_title(title, fontsize=9)
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(ncol=len(peers), fontsize=8)
    machine = results["machine"]
    fig.suptitle(f"{OURS} {machine['versions'][OURS]} vs peers, CPU time, median of {results['settings']['repeat']}"
                 f" — {machine.get('implementation', 'CPython')} {machine['python']}, {machine['cpu']}"
                 "  (* real document)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def cpu_tables(results):
    workloads = results["workloads"]
    present = {name for w in workloads for name in runs_by_name(w)}
    peers = [p for p in PEERS if p in present]
    head = ["workload", "values", "CPU/call", "wall/call", "ns/value", "out bytes", "indef=False ÷ default",
            "max_depth ÷ default", *peers]
    if not any("cpu_s" in r for w in workloads for r in w["runs"]):  # a file from before CPU time
        head[2:4] = ["wall/call", "(no CPU time)"]
    lines = ["CPU time (`time.thread_time`), median; peer columns are peer CPU time / our CPU time with our "
             "default framing (bold: below 1, the peer is faster):", "",
             "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for workload in workloads:
        runs = runs_by_name(workload)
        if OURS not in runs:
            continue
        ours = runs[OURS]
        name = f"**{workload['name']}**" if workload["kind"] == "document" else workload["name"]
        cpu = ours.get("cpu_s", ours.get("time_s"))
        cells = [name, f"{workload['values']:,}", fmt_time(cpu), fmt_time(ours.get("wall_s")),
                 f"{ours['ns_per_value']:.1f}", f"{ours['out_bytes']:,}",
                 *(f"{cpu_ratio(runs[n], 'default'):.2f}" if n in runs else "—" for n in VARIANTS),
                 *(ratio_cell(runs, n) for n in peers)]
        lines.append("| " + " | ".join(cells) + " |")
    if any(cpu_ratio(r, "definite") is not None for w in workloads for r in w["runs"]):
        head = ["workload", "CPU/call, indefinite=False", *peers]
        lines += ["", "The same against `dumps(v, indefinite=False)` (peer CPU time / ours with that keyword):", "",
                  "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for workload in workloads:
            runs = runs_by_name(workload)
            if OURS_DEFINITE not in runs:
                continue
            lines.append("| " + " | ".join([workload["name"], fmt_time(runs[OURS_DEFINITE]["cpu_s"]),
                                            *(ratio_cell(runs, n, "definite") for n in peers)]) + " |")
    target = [w for w in workloads if "ormsgpack" in runs_by_name(w) and OURS in runs_by_name(w)]
    if target and "ratio_cpu" in runs_by_name(target[0])["ormsgpack"]:
        met = [sum(1 for w in target if (cpu_ratio(runs_by_name(w)["ormsgpack"], f) or 0) >= 1.0)
               for f in ("default", "definite")]
        lines += ["", f"Against ormsgpack (target: ratio ≥ 1.0 everywhere): met on {met[0]} of {len(target)} "
                      f"workloads with our default framing, {met[1]} of {len(target)} with `indefinite=False`."]
    bulk = [w for w in workloads if "vs_memcpy" in w]
    if bulk:
        lines += ["", "Bulk str and bytes: our CPU time / CPU time of one copy of our output into a fresh `bytes` "
                      "(target ≤ 1.05):", "",
                  "| workload | out bytes | memcpy CPU/call | ours ÷ memcpy | ours, indefinite=False ÷ memcpy |",
                  "|---|---|---|---|---|"]
        for w in bulk:
            runs = runs_by_name(w)
            ratios = w["vs_memcpy"]
            lines.append(f"| {w['name']} | {runs[OURS]['out_bytes']:,} | {fmt_time(runs[MEMCPY]['cpu_s'])} | "
                         f"{ratios.get('default', 0):.2f} | {ratios.get('indefinite=False', 0):.2f} |")
    calls = [w for w in workloads if w["kind"] == "per-call"]
    if calls:
        lines += ["", "Per-call times include the timing loop itself: " + ", ".join(
            f"{fmt_time(w['loop_overhead_s'])} per call on {w['name']}" for w in calls) + "."]
    lines += ["", "— marks a skipped peer:", ""]
    for workload in workloads:
        for peer, note in workload["skipped"].items():
            lines.append(f"- skipped {peer} on {workload['name']}: {note}.")
    return lines


def rss_table(data):
    workloads = data["workloads"]
    libs = list(next(iter(workloads.values()))) if workloads else []
    lines = ["", f"Peak RSS increase of one call / output size, fresh process per cell ({data['python']}; target "
                 f"for us: ≤ 1.1 above 1 MB of output):", "",
             "| workload | out bytes (ours) | " + " | ".join(libs) + " |", "|---|---|" + "---|" * len(libs)]
    for workload, row in workloads.items():
        ours = row.get(OURS, {})
        cells = [f"{row[lib]['peak_over_output']:.2f}" if "peak_over_output" in row[lib] else "—" for lib in libs]
        lines.append(f"| {workload} | {ours.get('out_bytes', 0):,} | " + " | ".join(cells) + " |")
    return lines


def callgrind_tables(data):
    lines = []
    found = data.get("instructions")
    if found:
        docs = found["documents"]
        libs = [lib for lib in ("tavrel_cbor", "cbor2", "cbrrr", "msgpack", "ormsgpack", "msgspec", "orjson")
                if any(lib in row for row in docs.values())]
        peers = libs[1:]
        lines += ["", "Instructions per document (callgrind; encode only, baseline subtracted); in brackets the "
                      "peer's count / ours (above 1: we execute fewer):", "",
                  "| document | values | tavrel_cbor | per value | " + " | ".join(peers) + " |",
                  "|---|---|---|---|" + "---|" * len(peers)]
        for doc, row in docs.items():
            ours = row.get("tavrel_cbor")
            cells = []
            for lib in peers:
                count = row.get(lib)
                cells.append("—" if not count else
                             f"{count:,.0f} ({count / ours:.2f})" if ours else f"{count:,.0f}")
            lines.append(f"| {doc} | {row['values']:,} | " + (f"{ours:,.0f} | {ours / row['values']:.0f}"
                         if ours else "— | —") + " | " + " | ".join(cells) + " |")
        for doc, row in docs.items():
            for lib, why in row.get("skipped", {}).items():
                lines.append(f"- skipped {lib} on {doc}: {why}")
    found = data.get("profile")
    if found:
        docs = found["documents"]
        lines += ["", "Share of our instructions per bucket (callgrind --profile, one steady-state call):", "",
                  "| bucket | " + " | ".join(docs) + " |", "|---|" + "---|" * len(docs)]
        for bucket, name in BUCKET_NAMES.items():
            lines.append(f"| {name} | " + " | ".join(
                f"{100 * d['buckets'][bucket] / d['total']:.1f}%" for d in docs.values()) + " |")
        lines.append("| total instructions | " + " | ".join(f"{d['total']:,}" for d in docs.values()) + " |")
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", type=Path, help="output of bench.py --json")
    parser.add_argument("--rss", type=Path, help="output of rss.py --json")
    parser.add_argument("--callgrind", type=Path, help="output of callgrind.py --json")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args(argv)
    results = json.loads(args.results.read_text())
    suffix = args.results.stem[len("results"):] if args.results.stem.startswith("results") else "-" + args.results.stem
    args.out.mkdir(parents=True, exist_ok=True)
    png, table = args.out / f"ratios{suffix}.png", args.out / f"table{suffix}.md"
    plot(results, png)
    machine = results["machine"]
    versions = ", ".join(f"{k} {v or 'not installed'}" for k, v in machine["versions"].items())
    lines = [f"Machine: {machine['cpu']}, {machine['cores']} cores, {machine.get('implementation', 'CPython')} "
             f"{machine['python']}, {machine['date'][:10]}; {versions}; cbor2 {machine['cbor2_implementation']}; "
             f"msgspec runner: {machine.get('peer_calls', {}).get('msgspec', 'msgspec.msgpack.encode')}.", "",
             *cpu_tables(results)]
    if args.rss:
        lines += rss_table(json.loads(args.rss.read_text()))
    if args.callgrind:
        lines += callgrind_tables(json.loads(args.callgrind.read_text()))
    table.write_text("\n".join(lines) + "\n")
    print(f"wrote {png} and {table}")


if __name__ == "__main__":
    main()
