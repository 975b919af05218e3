"""The vertical lines below sites and the two scans along them: the travel
time down the top metres (Vs30) and the first crossing of a speed (Z1.0,
Z2.5), refined by halving as :mod:`orvik.site` documents."""

from __future__ import annotations

import numpy as np

from .orvik import PyModelTree, QueryCoordinates, QueryParams
from .qualities import QUALITIES

#: Query points per ``query_many`` call: memory stays near 40 bytes each.
QUERY_POINTS = 1 << 20
# Relative tolerance of the midpoint test: float32 answers are within a few
# units in the last place (2^-24) of the exact linear value.
_LINEAR_TOLERANCE = 2.0**-20
_F32 = np.dtype(np.float32)
_VS = QUALITIES.index("vs")  # the column of the shear-wave speed


class Lines:
    """The vertical lines below a block of sites, and Vs (m/s) along them."""

    def __init__(
        self,
        tree: PyModelTree,
        x: np.ndarray,
        y: np.ndarray,
        top: np.ndarray,
        priority: tuple[int, int],
        scale: float,
    ) -> None:
        self.tree, self.top, self.scale = tree, top, scale
        self.x, self.y = x.astype(_F32), y.astype(_F32)
        self.params = QueryParams(*priority)

    def vs(self, sites: np.ndarray, depth: np.ndarray) -> np.ndarray:
        """Vs at `depth` below each of `sites` (indices into the block), in
        float64 m/s, NaN where no model answers; one query per chunk."""
        out = np.empty(len(sites))
        for lo in range(0, len(sites), QUERY_POINTS):
            s, d = sites[lo : lo + QUERY_POINTS], depth[lo : lo + QUERY_POINTS]
            z = np.empty(len(s), _F32)
            np.subtract(self.top[s], d, out=z, casting="same_kind")
            rows = np.full((len(s), len(QUALITIES)), np.nan, _F32)
            coords = QueryCoordinates(self.x[s], self.y[s], z, d.astype(_F32))
            self.tree.query_many(rows, coords, self.params)
            out[lo : lo + len(s)] = rows[:, _VS].astype(np.float64) * self.scale
        return out


def _log_mean_inverse(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """ln(b/a) / (b - a): the mean of 1/Vs over a linear piece from a to b.
    NaN where either end is NaN or not positive."""
    with np.errstate(invalid="ignore", divide="ignore"):
        r = (b - a) / a
        mean = np.where(r == 0.0, 1.0, np.log1p(r) / np.where(r == 0.0, 1.0, r)) / a
    return np.where((a > 0) & (b > 0), mean, np.nan)


def _is_linear(a: np.ndarray, b: np.ndarray, m: np.ndarray) -> np.ndarray:
    scale = np.maximum(np.maximum(np.abs(a), np.abs(b)), np.abs(m))
    return np.abs(m - 0.5 * (a + b)) <= _LINEAR_TOLERANCE * scale


def travel_time(lines: Lines, steps: int, h: float, resolution: float) -> np.ndarray:
    """The time down the top steps * h metres of each line, refined as the
    module's documentation says."""
    n = len(lines.top)
    ends = np.arange(steps + 1) * h
    mids = (np.arange(steps) + 0.5) * h
    depth = np.concatenate([ends, mids])
    sites = np.repeat(np.arange(n), len(depth))
    v = lines.vs(sites, np.tile(depth, n)).reshape(n, len(depth))
    site = np.repeat(np.arange(n), steps)
    a_at = np.tile(ends[:-1], n)
    a, b, m = v[:, :steps].ravel(), v[:, 1 : steps + 1].ravel(), v[:, steps + 1 :].ravel()
    total = np.zeros(n)
    width = h
    while True:
        positive = (a > 0) & (b > 0)
        linear = positive & _is_linear(a, b, m)
        last = width <= resolution
        # A gap or a fluid at a midpoint spoils the piece; at an end it is
        # refined towards, and passed over when it is no longer than the
        # resolution (a fluid that ends at the surface, as the sea does).
        spoilt = ~(m > 0)
        done = linear | spoilt | last
        with np.errstate(divide="ignore", invalid="ignore"):
            mid_rule = np.where(spoilt[done], np.nan, 1.0 / m[done])
        exact = linear | np.logical_and(last, positive)
        mean = np.where(exact[done], _log_mean_inverse(a[done], b[done]), mid_rule)
        total += np.bincount(site[done], weights=width * mean, minlength=n)
        keep = ~done
        if not keep.any():
            return total
        # Halve each open piece: [a, m] and [m, b], with new midpoints.
        site, a_at = np.repeat(site[keep], 2), np.repeat(a_at[keep], 2)
        a_at[1::2] += 0.5 * width
        lo = np.stack([a[keep], m[keep]], 1).ravel()
        hi = np.stack([m[keep], b[keep]], 1).ravel()
        width *= 0.5
        a, b, m = lo, hi, lines.vs(site, a_at + 0.5 * width)


def crossings(
    lines: Lines, targets: list[float], h: float, samples: int, resolution: float
) -> list[np.ndarray]:
    """For each target, the depth of the first crossing below every line."""
    n = len(lines.top)
    found = [np.full(n, np.nan) for _ in targets]
    # For each target: the bracket's top, its values, and which sites have one.
    upper = [np.full(n, np.nan) for _ in targets]
    below = [np.full(n, np.nan) for _ in targets]
    above = [np.full(n, np.nan) for _ in targets]
    open_ = [np.ones(n, bool) for _ in targets]
    previous = np.full(n, np.nan)
    # Slabs of samples that double in length: most lines cross near the
    # surface and leave after a few samples; the others go on in longer runs.
    first, slab = 0, 1
    while first <= samples:
        active = np.flatnonzero(np.logical_or.reduce(open_))
        if not len(active):
            break
        slab = min(max(1, QUERY_POINTS // len(active)), 2 * slab)
        k = np.arange(first, min(first + slab, samples + 1))
        first += len(k)
        v = lines.vs(np.repeat(active, len(k)), np.tile(k * h, len(active))).reshape(-1, len(k))
        for t, target in enumerate(targets):
            _scan(
                v, k, h, active, target, previous, open_[t], found[t], upper[t], below[t], above[t]
            )
        previous[active] = v[:, -1]
    for t, target in enumerate(targets):
        _refine(lines, target, found[t], upper[t], below[t], above[t], h, resolution)
    return found


def _scan(
    v: np.ndarray,
    k: np.ndarray,
    h: float,
    active: np.ndarray,
    target: float,
    previous: np.ndarray,
    open_: np.ndarray,
    found: np.ndarray,
    upper: np.ndarray,
    below: np.ndarray,
    above: np.ndarray,
) -> None:
    """One slab of samples: sites that cross the target (or meet a gap
    first) leave the scan; crossings below the surface get a bracket."""
    rows = np.flatnonzero(open_[active])
    sites = active[rows]
    hit = (v[rows] >= target) | np.isnan(v[rows])
    crossed = hit.any(axis=1)
    j = np.argmax(hit, axis=1)[crossed]
    sites, rows = sites[crossed], rows[crossed]
    open_[sites] = False
    value = v[rows, j]
    at = k[j]
    # A gap above the crossing hides it; the surface itself may already be fast.
    gap = np.isnan(value)
    found[sites[(at == 0) & ~gap]] = 0.0
    bracket = (at > 0) & ~gap
    s, r, jj = sites[bracket], rows[bracket], j[bracket]
    upper[s] = (at[bracket] - 1) * h
    above[s] = value[bracket]
    below[s] = np.where(jj > 0, v[r, np.maximum(jj - 1, 0)], previous[s])


def _refine(
    lines: Lines,
    target: float,
    found: np.ndarray,
    upper: np.ndarray,
    below: np.ndarray,
    above: np.ndarray,
    h: float,
    resolution: float,
) -> None:
    """Halve each bracket towards the crossing until it is linear or short,
    then interpolate the crossing inside it."""
    sites = np.flatnonzero(~np.isnan(upper))
    lo, va, vb = upper[sites], below[sites], above[sites]
    width = h
    while len(sites):
        mid = lines.vs(sites, lo + 0.5 * width)
        gap = np.isnan(mid)
        done = gap | _is_linear(va, vb, mid) | (width <= resolution)
        end = sites[done]
        found[end] = lo[done] + (target - va[done]) * width / (vb[done] - va[done])
        found[end[gap[done]]] = np.nan
        keep = ~done
        sites, lo, va, vb, mid = sites[keep], lo[keep], va[keep], vb[keep], mid[keep]
        width *= 0.5
        upper_half = mid >= target  # the crossing is in [lo, mid]
        lo = np.where(upper_half, lo, lo + width)
        va = np.where(upper_half, va, mid)
        vb = np.where(upper_half, mid, vb)
