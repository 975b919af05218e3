"""Runs every benchmark of bench/ and prints one table.

Each benchmark script prints its own figures and, for every comparison it
makes, a line `RESULT {json}` with the keys operation, size, ours_s, peer,
peer_s (null when there is no peer) and goal. This script collects those
lines into a single table: operation, size, our time, the peer's time, the
ratio (peer time / our time, so above 1 means faster than the peer) and the goal.
"""

import json
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
TIMEOUT_S = 300


def run(script: pathlib.Path):
    start = time.perf_counter()
    try:
        proc = subprocess.run(
            [sys.executable, str(script)], capture_output=True, text=True, timeout=TIMEOUT_S
        )
    except subprocess.TimeoutExpired:
        return [], f"{script.name}: timed out after {TIMEOUT_S} s"
    results = []
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            results.append(json.loads(line[len("RESULT ") :]))
        else:
            print(f"  {script.name}: {line}")
    note = None
    if proc.returncode != 0:
        note = f"{script.name}: exit {proc.returncode}: {proc.stderr.strip().splitlines()[-1:]}"
    print(f"  ({script.name} took {time.perf_counter() - start:.0f} s)")
    return results, note


def fmt_time(seconds):
    if seconds is None:
        return "-"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def main() -> int:
    rows, notes = [], []
    scripts = sorted(p for p in HERE.glob("bench_*.py"))
    for script in scripts:
        print(f"running {script.name} ...", flush=True)
        results, note = run(script)
        rows.extend(results)
        if note:
            notes.append(note)
    header = ["operation", "size", "ours", "peer", "peer time", "ratio", "goal"]
    table = [header]
    for r in rows:
        ours, peer = r.get("ours_s"), r.get("peer_s")
        ratio = f"{peer / ours:.2f}x" if ours and peer else "-"
        if r.get("ratio") is not None:
            ratio = f"{r['ratio']:.2f}x"
        table.append(
            [
                r["operation"],
                r["size"],
                fmt_time(ours),
                r.get("peer") or "-",
                fmt_time(peer),
                ratio,
                r.get("goal", ""),
            ]
        )
    widths = [max(len(str(row[k])) for row in table) for k in range(len(header))]
    print()
    for i, row in enumerate(table):
        print(" | ".join(str(c).ljust(w) for c, w in zip(row, widths)))
        if i == 0:
            print("-+-".join("-" * w for w in widths))
    for note in notes:
        print("note:", note)
    return 1 if notes else 0


if __name__ == "__main__":
    sys.exit(main())
