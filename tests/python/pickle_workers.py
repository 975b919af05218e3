"""Models, probes and answers for the pickling tests. A module of its own, so
that processes started with the spawn method can import what they run."""

import numpy as np

import orvik
from conftest import kuhn_block, random_points


def rich_models():
    """Overlapping models that use every part of a model: a transform, a name
    with escapes, both finishers, both vertical modes, alphas below 1 and
    equal priorities."""
    out = []
    # Interpolated, translated: local = world + (5, -3, 2).
    v, f = kuhn_block((4, 3, 3), origin=(5, -3, 2))
    n = len(v)
    q = np.empty((n, 6), np.float32)
    q[:, 0] = 2000 + np.arange(n)
    q[:, 1] = 5000 + 3 * np.arange(n)
    q[:, 2] = 3000 + np.arange(n) % 17
    q[:, 3] = 100 + np.arange(n) % 29
    q[:, 4] = 50 + np.arange(n) % 13
    q[:, 5] = np.where(np.arange(n) % 3 == 0, 1.0, 0.6)
    t = np.eye(4, dtype=np.float32)
    t[3, :3] = (5, -3, 2)
    b = (
        orvik.MeshModelBuilder(v, f, 3, "elevation", (0, 0, 0, 4, 3, 3))
        .transform(t)
        .name('crust "A" \u00e9\t')
    )
    out.append(b.interpolated(q))
    # Depth profile, queried by depth.
    v, f = kuhn_block((2, 2, 2), origin=(1, 1, 0))
    n = len(v)
    alpha = np.where(np.arange(n) % 2 == 0, 0.5, 1.0).astype(np.float32)
    depth = (np.arange(n) % 7 * 0.5).astype(np.float32)
    tops = np.array([-1.0, 1.0, 2.5], np.float32)
    layers = np.array(
        [[2100, 4100, 2100, 210, 110], [2200, 4200, 2200, 220, 120], [2300, 4300, 2300, 230, 130]],
        np.float32,
    )
    out.append(
        orvik.MeshModelBuilder(v, f, 1, "depth", (1, 1, -5, 3, 3, 5))
        .name("layers")
        .depth_profile(alpha, depth, tops, layers)
    )
    # Unnamed, equal in priority to the first.
    v, f = kuhn_block((2, 2, 1), origin=(-1, 0, 0))
    q = np.tile(np.array([[2500, 4500, 2500, 300, 150, 0.8]], np.float32), (len(v), 1))
    out.append(orvik.MeshModelBuilder(v, f, 3, "elevation", (-1, 0, 0, 1, 2, 1)).interpolated(q))
    return out


def rich_tree():
    return orvik.model_tree(rich_models())


def probe_points(n=4000, seed=5):
    """Points over and around the models, a few with NaN coordinates."""
    x, y, z, depth = random_points(n, seed, x=(-2, 5), y=(-1, 4), z=(-1, 4), depth=(-1, 3))
    x[::97] = np.nan
    return x, y, z, depth


def bits(value):
    """Float results as bit patterns, so that NaN compares equal to itself."""
    if value is None:
        return None
    if isinstance(value, dict):
        return {k: bits(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(bits(v) for v in value)
    if isinstance(value, float):
        return int(np.float64(value).view(np.uint64))
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    return value


def query_many(tree, coords, params):
    out = np.full((len(probe_points()[0]), 6), np.nan, np.float32)
    tree.query_many(out, coords, params)
    return out


def tree_answers(tree, points=None):
    """Everything a tree answers, except the print-out and timings."""
    x, y, z, depth = points if points is not None else probe_points()
    out = {}
    for lo, hi in ((0, 255), (2, 3), (1, 1)):
        o = np.full((len(x), 6), np.nan, np.float32)
        tree.query_many(o, orvik.QueryCoordinates(x, y, z, depth), orvik.QueryParams(lo, hi))
        out[f"many {lo}-{hi}"] = bits(o)
    sample = range(0, len(x), 37)
    out["query"] = [
        bits(tree.query(float(x[i]), float(y[i]), float(z[i]), float(depth[i]), 0, 255))
        for i in sample
    ]
    out["explain"] = [
        bits(tree.explain(float(x[i]), float(y[i]), float(z[i]), float(depth[i]))) for i in sample
    ]
    stats = []
    for i in sample:
        s = tree.query_stats(float(x[i]), float(y[i]), float(z[i]), float(depth[i]))
        del s["elapsed"]
        stats.append(bits(s))
    out["query_stats"] = stats
    out["view"] = bits(tree.view())
    out["aabb"] = bits(tree.aabb())
    return out


def answers_in_worker(tree):
    """Run in a worker process: the tree as it arrived there."""
    return tree_answers(tree)


def query_many_in_worker(tree, coords, params):
    return query_many(tree, coords, params)
