#!/usr/bin/env python3
"""Chart and markdown table from the output of bench.py --json.

    python bench/plot.py bench/results/results.json [--callgrind bench/results/callgrind.json]

Writes bench/results/ratios.png and bench/results/table.md (or --out DIR).
"""
import argparse
import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

OURS = "tavrel_cbor"
PEERS = ("cbor2", "msgpack", "ormsgpack", "orjson", "json")
VARIANTS = (OURS + " indefinite=False", OURS + " max_depth=1000")
BUCKET_NAMES = {
    "conversion": "conversion/matching", "walk": "serializer walk", "writers": "writers",
    "growth": "generator growth", "float": "float round trip", "copy": "final copy", "rest": "Python C API, rest",
}


def runs_by_name(workload):
    return {run["name"]: run for run in workload["runs"]}


def ratio_cell(runs, name):
    return f"{runs[name]['ratio_to_ours']:.2f}" if name in runs else "—"


def plot(results, path):
    workloads = results["workloads"]
    peers = [p for p in PEERS if any(p in runs_by_name(w) for w in workloads)]
    fig, ax = plt.subplots(figsize=(max(8, 1.0 * len(workloads) + 2), 5.5))
    width = 0.8 / max(1, len(peers))
    for i, peer in enumerate(peers):
        xs, ys = [], []
        for x, workload in enumerate(workloads):
            run = runs_by_name(workload).get(peer)
            if run is not None:
                xs.append(x + (i - (len(peers) - 1) / 2) * width)
                ys.append(run["ratio_to_ours"])
        ax.bar(xs, ys, width, label=peer)
    ax.axhline(1.0, color="black", linewidth=1)
    ax.set_yscale("log")
    ax.set_xticks(range(len(workloads)))
    ax.set_xticklabels([w["name"] + (" *" if w["kind"] == "document" else "") for w in workloads],
                       rotation=35, ha="right")
    ax.set_ylabel(f"peer time / {OURS} time  (log; >1: {OURS} faster)")
    machine = results["machine"]
    ax.set_title(f"{OURS} {machine['versions'][OURS]} vs peers, median of {results['settings']['repeat']}"
                 f" — {machine['cpu']}, Python {machine['python']}  (* real document)", fontsize=10)
    ax.grid(axis="y", which="both", alpha=0.3)
    ax.legend(ncol=len(peers), fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def wall_table(results):
    head = ["workload", "values", "time/call", "ns/value", "out bytes", "MB/s", "peak KiB",
            "indef=False", "max_depth", *PEERS]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for workload in results["workloads"]:
        runs = runs_by_name(workload)
        ours = runs[OURS]
        t = ours["time_s"]
        shown = f"{t * 1e3:.2f} ms" if t >= 1e-3 else f"{t * 1e6:.0f} µs"
        name = f"**{workload['name']}**" if workload["kind"] == "document" else workload["name"]
        cells = [name, f"{workload['values']:,}", shown, f"{ours['ns_per_value']:.1f}", f"{ours['out_bytes']:,}",
                 f"{ours['mb_per_s']:.0f}", f"{ours['peak_bytes'] / 1024:.0f}",
                 *(ratio_cell(runs, n) for n in VARIANTS + PEERS)]
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", "Ratios are the runner's time / our default time (above 1: we are faster); — marks a skipped peer:", ""]
    for workload in results["workloads"]:
        for peer, note in workload["skipped"].items():
            lines.append(f"- skipped {peer} on {workload['name']}: {note}.")
    return lines


def callgrind_tables(data):
    lines = []
    found = data.get("instructions")
    if found:
        lines += ["", "Instructions per document (callgrind; encode only, baseline subtracted):", "",
                  "| document | values | tavrel_cbor | per value | cbor2 | per value | cbor2 / ours |",
                  "|---|---|---|---|---|---|---|"]
        for doc, row in found["documents"].items():
            lines.append(f"| {doc} | {row['values']:,} | {row['tavrel_cbor']:,.0f} | "
                         f"{row['tavrel_cbor'] / row['values']:.0f} | {row['cbor2']:,.0f} | "
                         f"{row['cbor2'] / row['values']:.0f} | {row['ratio']:.2f} |")
    found = data.get("profile")
    if found:
        docs = found["documents"]
        lines += ["", "Share of our instructions per bucket (callgrind --profile, one steady-state call):", "",
                  "| bucket | " + " | ".join(docs) + " |", "|---|" + "---|" * len(docs)]
        for bucket, label in BUCKET_NAMES.items():
            lines.append(f"| {label} | " + " | ".join(
                f"{100 * d['buckets'][bucket] / d['total']:.1f}%" for d in docs.values()) + " |")
        lines.append("| total instructions | " + " | ".join(f"{d['total']:,}" for d in docs.values()) + " |")
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", type=Path, help="output of bench.py --json")
    parser.add_argument("--callgrind", type=Path, help="output of callgrind.py --json")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args(argv)
    results = json.loads(args.results.read_text())
    args.out.mkdir(parents=True, exist_ok=True)
    plot(results, args.out / "ratios.png")
    machine = results["machine"]
    versions = ", ".join(f"{k} {v}" for k, v in machine["versions"].items())
    lines = [f"Machine: {machine['cpu']}, {machine['cores']} cores, Python {machine['python']}, "
             f"{machine['date'][:10]}; {versions}; cbor2 {machine['cbor2_implementation']}.", "",
             *wall_table(results)]
    if args.callgrind:
        lines += callgrind_tables(json.loads(args.callgrind.read_text()))
    (args.out / "table.md").write_text("\n".join(lines) + "\n")
    print(f"wrote {args.out / 'ratios.png'} and {args.out / 'table.md'}")


if __name__ == "__main__":
    main()
