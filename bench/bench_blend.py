"""blend_many against the same blend written as NumPy expressions.

Prints both times and the ratio for 10 million rows, single thread. The last
line is a machine-readable summary that bench/run_all.py collects.
"""

import json
import time

import numpy as np

import orvik

N = 10_000_000


def numpy_blend(f, b):
    """The same "over" blend in NumPy float32 array expressions."""
    eps = np.float32(2.0**-23)
    one = np.float32(1)
    fa, ba = f[:, 5], b[:, 5]
    wb = (one - fa) * ba
    a = fa + wb
    with np.errstate(divide="ignore", invalid="ignore"):
        fw = fa / a
        bw = wb / a
        out = np.empty_like(f)
        out[:, :3] = b[:, :3] * bw[:, None] + f[:, :3] * fw[:, None]
        out[:, 3:5] = one / ((one / f[:, 3:5]) * fw[:, None] + (one / b[:, 3:5]) * bw[:, None])
    out[:, 5] = a
    bg_only = fa < eps
    fg_only = ~bg_only & (ba < eps)
    out[bg_only] = b[bg_only]
    out[fg_only] = f[fg_only]
    return out


def best_of(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> None:
    rng = np.random.default_rng(1)
    f = rng.uniform(0.5, 8, size=(N, 6)).astype(np.float32)
    b = rng.uniform(0.5, 8, size=(N, 6)).astype(np.float32)
    f[:, 5] = rng.choice(np.array([0.0, 0.4, 0.9, 1.0], np.float32), size=N)
    b[:, 5] = rng.choice(np.array([0.0, 0.5, 1.0], np.float32), size=N)

    t_ours, ours = best_of(lambda: orvik.blend_many(f, b))
    t_numpy, theirs = best_of(lambda: numpy_blend(f, b))
    same = np.array_equal(ours.view(np.uint32), theirs.view(np.uint32))
    ratio = t_numpy / t_ours
    print(f"blend_many, {N:,} rows: orvik {t_ours * 1e3:.1f} ms, NumPy expressions {t_numpy * 1e3:.1f} ms")
    print(f"speed-up {ratio:.2f}x (goal >= 3x); results identical bit for bit: {same}")
    print("RESULT " + json.dumps({
        "operation": "blend_many", "size": f"{N:,} rows", "ours_s": t_ours, "peer": "NumPy expressions",
        "peer_s": t_numpy, "goal": ">= 3x faster",
    }))


if __name__ == "__main__":
    main()
