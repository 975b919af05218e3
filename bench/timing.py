"""What the benchmarks share: the best of several timed runs, and the
`RESULT {json}` line of each comparison, which bench/run_all.py collects."""

import json
import time


def best_of(fn, repeat):
    """Best wall time, best CPU time and the last result of `repeat` calls."""
    wall = cpu = float("inf")
    result = None
    for _ in range(repeat):
        result = None  # the previous result's memory goes back first
        w, c = time.perf_counter(), time.process_time()
        result = fn()
        cpu = min(cpu, time.process_time() - c)
        wall = min(wall, time.perf_counter() - w)
    return wall, cpu, result


def report(operation, size, ours_s, peer, peer_s, goal, **extra):
    """One RESULT line: our time against a peer's (None where there is none)."""
    line = {"operation": operation, "size": size, "ours_s": ours_s, "peer": peer}
    line.update(peer_s=peer_s, goal=goal, **extra)
    print("RESULT " + json.dumps(line))
