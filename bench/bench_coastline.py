"""PyCoastline.signed_distance against shapely 2.x on a fractal island.

The coastline is a star-shaped island whose radius is a periodic fractal
(midpoint displacement), with a few fractal lakes: about 100,000 segments in
all. One million query points are spread over the island's box and a margin
of sea. shapely answers the same question with an STRtree over the segments
(nearest distance) and contains_xy on the prepared polygon (sign). Prints both
times, the ratio and how far the values differ.
"""

import numpy as np
import shapely

import orvik
from timing import best_of, report

N_POINTS = 1_000_000


def fractal_radius(rng, n, base, rough):
    """A periodic fractal radius profile of n samples (n a power of two)."""
    r = np.zeros(n)
    step, amp = n, rough
    while step > 1:
        half = step // 2
        left = r[0:n:step]
        right = np.roll(left, -1)
        r[half:n:step] = 0.5 * (left + right) + rng.normal(0.0, amp, size=len(left))
        step, amp = half, amp * 0.6
    r -= r.mean()
    r = base * (1.0 + r / (np.abs(r).max() + 1e-12) * 0.35)
    return r


def star_ring(rng, n, cx, cy, base, rough):
    theta = 2.0 * np.pi * np.arange(n) / n
    r = fractal_radius(rng, n, base, rough)
    return np.stack([cx + r * np.cos(theta), cy + r * np.sin(theta)], axis=1).astype(np.float32)


def build_rings(rng):
    island = star_ring(rng, 65536, 0.0, 0.0, 100_000.0, 1.0)
    # Lakes well inside the island's smallest radius (0.65 of the base), apart
    # from each other.
    lakes = [
        star_ring(rng, 8192, 20_000.0, 10_000.0, 12_000.0, 1.0),
        star_ring(rng, 8192, -25_000.0, -5_000.0, 9_000.0, 1.0),
        star_ring(rng, 8192, 0.0, -30_000.0, 7_000.0, 1.0),
        star_ring(rng, 4096, -20_000.0, 35_000.0, 6_000.0, 1.0),
    ]
    # An island in the first lake.
    islet = star_ring(rng, 4096, 20_000.0, 10_000.0, 3_000.0, 1.0)
    return island, lakes, islet


def segments_of(rings):
    return np.concatenate([np.stack([r, np.roll(r, -1, axis=0)], axis=1) for r in rings]).astype(
        np.float32
    )


def main() -> None:
    rng = np.random.default_rng(2024)
    island, lakes, islet = build_rings(rng)
    rings = [island, *lakes, islet]
    segs = segments_of(rings)
    xs = rng.uniform(-150_000, 150_000, size=N_POINTS).astype(np.float32)
    ys = rng.uniform(-150_000, 150_000, size=N_POINTS).astype(np.float32)

    t_build, _, coast = best_of(lambda: orvik.coastline(segs), 1)
    t_ours, _, ours = best_of(lambda: coast.signed_distance(xs, ys), 2)

    def shapely_signed():
        lines = shapely.linestrings(segs.astype(np.float64))
        tree = shapely.STRtree(lines)
        polys = [
            shapely.Polygon(island.astype(np.float64), [lake.astype(np.float64) for lake in lakes]),
            shapely.Polygon(islet.astype(np.float64)),
        ]
        land = shapely.MultiPolygon(polys)
        shapely.prepare(land)
        _, dist = tree.query_nearest(
            shapely.points(xs, ys), return_distance=True, all_matches=False
        )
        inside = shapely.contains_xy(land, xs, ys)
        return np.where(inside, -dist, dist)

    t_shapely, _, theirs = best_of(shapely_signed, 1)

    diff = np.abs(ours.astype(np.float64) - theirs)
    clear = np.abs(theirs) > 1e-3 * np.maximum(1.0, np.abs(theirs))
    sign_mismatch = int(np.count_nonzero(np.signbit(ours[clear]) != np.signbit(theirs[clear])))
    rel = diff / np.maximum(np.abs(theirs), 1.0)
    ratio = t_shapely / t_ours
    print(f"coastline of {len(segs):,} segments, {N_POINTS:,} points; build {t_build * 1e3:.1f} ms")
    print(
        f"signed_distance: orvik {t_ours:.3f} s, shapely {shapely.__version__} (STRtree + contains_xy) "
        f"{t_shapely:.3f} s"
    )
    print(f"speed-up {ratio:.2f}x (goal >= 3x)")
    ulp = np.spacing(np.float32(np.abs(segs).max()))
    print(
        f"max |difference| {diff.max():.6g} (float32 spacing at the coordinates' magnitude: {ulp:.6g}; "
        f"max relative {rel.max():.3g}); sign mismatches away from the shore: {sign_mismatch}"
    )
    report(
        "PyCoastline.signed_distance",
        f"{len(segs):,} segments x {N_POINTS:,} points",
        t_ours,
        f"shapely {shapely.__version__}",
        t_shapely,
        ">= 3x faster",
    )


if __name__ == "__main__":
    main()
