#!/usr/bin/env python3
"""Turns hdx_bench's JSON output into the README's same-run table and an SVG bar chart.

Usage: bench/report.py RESULTS.json [CHART.svg [BASELINE.json]]
Each job's hdx row is set beside its peers from the same run; "speed-up" is the peer's time
divided by hdx's (above 1: hdx is faster). BASELINE.json, from the same run with the baseline
build of the library where RESULTS.json had the loader's pick among the x86-64 levels, gives a
table of hdx's own rows, each build beside the other."""
import json
import sys

JOBS = [  # benchmark prefix, what the job is, how its size is shown
    ("BM_From", "From address, 100k realistic fields", "field"),
    ("BM_Received", "Received sender IP incl. the unfold, 100k fields", "field"),
    ("BM_Path", "SMTP path, 100k commands", "field"),
    ("BM_UnfoldField", "unfold per field (From and Received)", "field"),
    ("BM_UnfoldBlock", "unfold 1 MiB realistic header block", "block"),
    ("BM_UnfoldFolds", "unfold 1 MiB of x CR LF space", "block"),
    ("BM_UnfoldNoEol", "unfold 1 MiB without a line end", "block"),
]


def figure(run, kind):
    if kind == "field":
        ns = 1e9 / run["items_per_second"]
        return ns, f"{ns:.0f} ns"
    gbs = run["bytes_per_second"] / 1e9
    return 1 / gbs, f"{gbs:.2f} GB/s"


def load(path):
    # With --benchmark_repetitions, the median of each benchmark stands for it.
    results = json.load(open(path))["benchmarks"]
    runs = {r["name"]: r for r in results if r.get("run_type", "iteration") == "iteration"}
    runs.update({r["run_name"]: dict(r, name=r["run_name"]) for r in results
                 if r.get("aggregate_name") == "median"})
    return runs


def hostile_runs(runs):
    return [r for r in runs.values() if r["name"].startswith("BM_Hostile/")
            and r["name"].endswith(f"/{4 << 20}")]


def levels(runs, base):
    print("\n| job | baseline build | the loader's pick | speed-up |\n|---|---|---|---|")
    for prefix, label, kind in JOBS:
        mine, old = runs.get(prefix + "_hdx"), base.get(prefix + "_hdx")
        if mine and old:
            (cost, shown), (old_cost, old_shown) = figure(mine, kind), figure(old, kind)
            print(f"| {label} | {old_shown} | {shown} | {old_cost / cost:.2f} |")
    old_hostile = {r["label"]: r for r in hostile_runs(base)}
    for r in hostile_runs(runs):
        old = old_hostile.get(r["label"])
        if old:
            print(f"| hostile 4 MiB, {r['label']} | {old['real_time']:.2f} {old['time_unit']} | "
                  f"{r['real_time']:.2f} {r['time_unit']} | {old['real_time'] / r['real_time']:.2f} |")


def main():
    runs = load(sys.argv[1])
    rows, bars = [], []
    for prefix, label, kind in JOBS:
        mine = runs.get(prefix + "_hdx")
        if mine is None:
            continue
        cost, shown = figure(mine, kind)
        for name, run in runs.items():
            if not name.startswith(prefix + "_") or name == prefix + "_hdx":
                continue
            peer = name[len(prefix) + 1:]
            peer_cost, peer_shown = figure(run, kind)
            rows.append(f"| {label} | {shown} | {peer}: {peer_shown} | {peer_cost / cost:.2f} |")
            bars.append((f"{label} vs {peer}", peer_cost / cost))
    floor = runs.get("BM_CopyOnly")
    hostile = hostile_runs(runs)
    print("| job | hdx | peer, same run | speed-up |\n|---|---|---|---|")
    print("\n".join(rows))
    if floor:
        print(f"\nEvery per-field figure includes copying the field into a scratch buffer: "
              f"{figure(floor, 'field')[1]} a field on its own.")
    if hostile:
        print("\n| hostile input, 4 MiB | hdx |\n|---|---|")
        for r in hostile:
            print(f"| {r['label']} | {r['real_time']:.2f} {r['time_unit']} |")
    if len(sys.argv) > 2 and bars:
        write_chart(sys.argv[2], bars)
    if len(sys.argv) > 3:
        levels(runs, load(sys.argv[3]))


def write_chart(path, bars):
    width, row, left = 760, 26, 400
    top = max(max(v for _, v in bars), 1.0)
    scale = (width - left - 60) / top
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{row * len(bars) + 30}"'
           ' font-family="sans-serif" font-size="12">']
    for i, (label, value) in enumerate(bars):
        y = 10 + i * row
        colour = "#2a7" if value >= 1 else "#c53"
        out.append(f'<text x="{left - 8}" y="{y + 15}" text-anchor="end">{label}</text>')
        out.append(f'<rect x="{left}" y="{y + 3}" width="{value * scale:.1f}" height="16" fill="{colour}"/>')
        out.append(f'<text x="{left + value * scale + 4:.1f}" y="{y + 15}">{value:.2f}x</text>')
    x1 = left + scale
    out.append(f'<line x1="{x1:.1f}" y1="5" x2="{x1:.1f}" y2="{row * len(bars) + 15}" stroke="#333"'
               ' stroke-dasharray="3,3"/>')
    out.append("</svg>")
    open(path, "w").write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
