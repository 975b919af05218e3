"""blend_many against NumPy on the same arrays: np.add(lhs, rhs), which moves
the same memory and does next to no arithmetic (the memory limit), and the
same blend written as NumPy expressions.

10 million rows, single thread, best of five; wall clock and CPU time of the
process (the machine may be shared). Goals: within 1.5x of np.add, and at
least 10x faster than the NumPy expressions. RESULT lines feed
bench/run_all.py.
"""

import numpy as np

import orvik
from timing import best_of, report

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


def main() -> None:
    rng = np.random.default_rng(1)
    f = rng.uniform(0.5, 8, size=(N, 6)).astype(np.float32)
    b = rng.uniform(0.5, 8, size=(N, 6)).astype(np.float32)
    f[:, 5] = rng.choice(np.array([0.0, 0.4, 0.9, 1.0], np.float32), size=N)
    b[:, 5] = rng.choice(np.array([0.0, 0.5, 1.0], np.float32), size=N)

    t_ours, c_ours, ours = best_of(lambda: orvik.blend_many(f, b), 5)
    t_add, c_add, _ = best_of(lambda: np.add(f, b), 5)
    t_numpy, c_numpy, theirs = best_of(lambda: numpy_blend(f, b), 2)
    same = np.array_equal(ours.view(np.uint32), theirs.view(np.uint32))
    print(
        f"blend_many, {N:,} rows: orvik {t_ours * 1e3:.1f} ms (CPU {c_ours * 1e3:.1f} ms), "
        f"np.add {t_add * 1e3:.1f} ms (CPU {c_add * 1e3:.1f} ms), "
        f"NumPy expressions {t_numpy * 1e3:.1f} ms (CPU {c_numpy * 1e3:.1f} ms)"
    )
    print(
        f"blend_many takes {t_ours / t_add:.2f}x the time of np.add (CPU {c_ours / c_add:.2f}x; goal <= 1.5x) "
        f"and is {t_numpy / t_ours:.1f}x faster than the NumPy expressions (goal >= 10x); "
        f"results identical bit for bit: {same}"
    )
    with open("/proc/loadavg") as fh:
        print(f"load average while measuring: {fh.read().split()[0]}")
    report(
        "blend_many",
        f"{N:,} rows",
        t_ours,
        "np.add(lhs, rhs)",
        t_add,
        "<= 1.5x the time of np.add (ratio >= 0.67x)",
    )
    report("blend_many", f"{N:,} rows", t_ours, "NumPy expressions", t_numpy, ">= 10x faster")


if __name__ == "__main__":
    main()
