"""A first look at orvik: blend two quality fields and summarise the result."""

import time

import numpy as np

import orvik


def main() -> None:
    rng = np.random.default_rng(2026)
    n = 1_000_000
    # A sediment layer over a bedrock field: [rho, vp, vs, qp, qs, alpha].
    sediment = np.column_stack([
        rng.normal(2.1, 0.05, n), rng.normal(2.4, 0.1, n), rng.normal(1.0, 0.05, n),
        np.full(n, 80.0), np.full(n, 40.0), rng.uniform(0.0, 1.0, n),
    ]).astype(np.float32)
    bedrock = np.column_stack([
        np.full(n, 2.7), np.full(n, 6.0), np.full(n, 3.5),
        np.full(n, 600.0), np.full(n, 300.0), np.ones(n),
    ]).astype(np.float32)

    start = time.perf_counter()
    blended = orvik.blend_many(sediment, bedrock)
    elapsed = time.perf_counter() - start

    print(f"blended {n:,} rows in {elapsed * 1e3:.1f} ms ({n / elapsed / 1e6:.1f} M rows/s)")
    for k, name in enumerate(["rho", "vp", "vs", "qp", "qs", "alpha"]):
        col = blended[:, k]
        print(f"  {name:>5}: min {col.min():8.3f}  mean {col.mean():8.3f}  max {col.max():8.3f}")


if __name__ == "__main__":
    main()
