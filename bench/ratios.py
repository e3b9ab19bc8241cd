#!/usr/bin/python3
"""Medians and ratios of Google Benchmark JSON results.

Times are CPU times: on a shared machine they are far steadier than wall
time, and Google Benchmark derives bytes_per_second from them too.

Every benchmark named ours<suffix>/X is paired with openssl/X. In the run
named "scalar" (libcrypto held to its scalar code) openssl/X is compared with
ours_portable/X where that exists, since both are then plain integer code.

Usage: ratios.py --run NAME FILE... [--run NAME FILE...]
"""

import argparse
import json
import statistics
import sys

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(files):
    """Maps benchmark name -> list of (time in ns, bytes per second or None)."""
    samples = {}
    for path in files:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
        for b in doc.get("benchmarks", []):
            if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                continue
            ns = b["cpu_time"] * TO_NS[b.get("time_unit", "ns")]
            samples.setdefault(b["name"], []).append((ns, b.get("bytes_per_second")))
    return samples


def medians(samples):
    out = {}
    for name, vals in samples.items():
        ns = statistics.median(v[0] for v in vals)
        rates = [v[1] for v in vals if v[1] is not None]
        out[name] = (ns, statistics.median(rates) if rates else None, len(vals))
    return out


def fmt_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:9.3f} {unit}"
    return f"{ns:9.1f} ns"


def fmt_rate(bps):
    return "" if bps is None else f"{bps / 1e9:7.3f} GB/s"


def pairs(names, run_name):
    """(ours name, openssl name) for every comparable pair."""
    result = []
    for name in sorted(names):
        prefix, _, what = name.partition("/")
        if not prefix.startswith("ours") or not what:
            continue
        ref = "openssl/" + what
        if ref not in names:
            continue
        if run_name == "scalar":
            # Only the portable variant is a fair match for scalar libcrypto.
            if "ours_portable/" + what in names and prefix != "ours_portable":
                continue
        result.append((name, ref))
    return result


def report(run_name, files):
    table = medians(load(files))
    if not table:
        print(f"== {run_name}: no results ==")
        return
    runs = max(v[2] for v in table.values())
    print(f"== {run_name} ({runs} runs, median CPU time) ==")
    width = max(len(n) for n in table) + 2
    for name in sorted(table):
        ns, bps, _ = table[name]
        print(f"  {name:<{width}}{fmt_time(ns)}  {fmt_rate(bps)}")
    found = pairs(table.keys(), run_name)
    if found:
        print("  ratio = openssl CPU time / ours CPU time (above 1: ours is faster)")
    for ours, ref in found:
        ratio = table[ref][0] / table[ours][0]
        print(f"  {ours} vs {ref}: {ratio:.3f}")
    print()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--run", nargs="+", action="append", metavar=("NAME", "FILE"), required=True)
    args = ap.parse_args()
    for run in args.run:
        if len(run) < 2:
            ap.error("--run needs a name and at least one file")
        report(run[0], run[1:])
    return 0


if __name__ == "__main__":
    sys.exit(main())
