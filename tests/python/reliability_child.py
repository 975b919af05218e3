"""Runs one long or memory-hungry call in a process of its own and prints what
happened as JSON, so that a crash, a hang or an interpreter killed by a
signal cannot take the test session with it.

    python reliability_child.py interrupt <call>
    python reliability_child.py exhaust <build>
"""

import json
import os
import resource
import signal
import sys
import threading
import time

import numpy as np

import orvik

CUBE = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float32)
FIVE_TETS = np.array(
    [[0, 3, 5, 1], [0, 3, 6, 2], [0, 5, 6, 4], [3, 5, 6, 7], [0, 3, 5, 6]], np.uint64
)
KUHN = [[0, 1, 3, 7], [0, 1, 5, 7], [0, 2, 3, 7], [0, 2, 6, 7], [0, 4, 5, 7], [0, 4, 6, 7]]


def kuhn_mesh(k):
    """k^3 unit cubes of six tetrahedra each, on shared lattice vertices."""
    index = np.arange((k + 1) ** 3).reshape((k + 1,) * 3)
    axis = np.arange(k + 1, dtype=np.float32)
    vertices = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), -1).reshape(-1, 3)

    def corner(bits):
        i, j, m = bits & 1, (bits >> 1) & 1, (bits >> 2) & 1
        return index[i : i + k, j : j + k, m : m + k].reshape(-1)

    faces = np.concatenate([np.stack([corner(c) for c in tet], 1) for tet in KUHN]).astype(
        np.uint64
    )
    return vertices, faces


def ring_segments(n, radius=1.0):
    a = np.linspace(0, 2 * np.pi, n, endpoint=False)
    ring = np.stack([np.cos(a), np.sin(a)], 1) * radius
    return np.stack([ring, np.roll(ring, -1, 0)], 1).astype(np.float32)


def wavy_grid(size):
    x, y = np.meshgrid(np.arange(float(size)), np.arange(float(size)))
    return orvik.structured_grid(x, y, np.sin(x / 9.0) * np.cos(y / 7.0) * 100.0)


def square(size):
    return np.array([[0.0, 0.0], [size, 0.0], [size, size], [0.0, size]])


# --- interrupt: SIGINT while a call runs with the interpreter lock released ---


def interrupt(call):
    if call == "query_many":
        # Forty overlapping, nearly transparent models: every point composites them all.
        q = np.tile(np.array([[2, 5, 3, 100, 50, 0.01]], np.float32), (8, 1))
        models = [
            orvik.MeshModelBuilder(
                CUBE * 10, FIVE_TETS, p, "elevation", (0, 0, 0, 10, 10, 10)
            ).interpolated(q)
            for p in range(40)
        ]
        tree = orvik.model_tree(models)
        n = 2_000_000
        pts = np.random.default_rng(0).uniform(0.5, 9.5, (4, n)).astype(np.float32)
        out = np.full((n, 6), -1.0, np.float32)
        coords, params = orvik.QueryCoordinates(*pts), orvik.QueryParams(0, 255)

        def run():
            tree.query_many(out, coords, params)

        def check():
            touched = (out != -1.0).any(axis=1)
            whole = (out != -1.0).all(axis=1)
            small = np.full((3, 6), -1.0, np.float32)
            tree.query_many(small, orvik.QueryCoordinates(*pts[:, :3]), params)
            return {
                "partial_rows": int((touched & ~whole).sum()),
                "rows_done": int(whole.sum()),
                "usable": bool((small != -1.0).all()),
            }
    elif call == "adaptive_tin":
        # A boundary spacing far too fine for the outline: hours of test points.
        grid = wavy_grid(200)
        outline = square(199.0)

        def run():
            orvik.adaptive_tin(outline, [(grid, np.zeros((0, 2)), 2e-6, 0.01)])

        def check():
            vertices, _ = orvik.adaptive_tin(outline, [(grid, np.zeros((0, 2)), 50.0, 50.0)])
            return {"usable": len(vertices) >= 4}
    elif call == "grid_query_many":
        grid = wavy_grid(300)
        n = 40_000_000
        x = np.broadcast_to(np.float64(150.5), (n,))

        def run():
            grid.query_many(x, x)

        def check():
            return {"usable": bool(grid.query(1.5, 1.5)[1] is False)}
    elif call == "signed_distance":
        coast = orvik.coastline(ring_segments(200_000))
        n = 50_000_000
        x = np.broadcast_to(np.float32(0.3), (n,))

        def run():
            coast.signed_distance(x, x)

        def check():
            return {"usable": bool(coast.signed_distance(x[:2], x[:2])[0] < 0)}
    else:
        raise SystemExit(f"unknown call {call}")

    sent = []

    def fire():
        time.sleep(0.3)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=fire, daemon=True).start()
    start = time.perf_counter()
    try:
        run()
        report = {"stopped": False, "elapsed": time.perf_counter() - start}
    except KeyboardInterrupt:
        report = {"stopped": True, "latency": time.perf_counter() - sent[0]}
    report.update(check())
    return report


# --- exhaust: index builds under an address-space limit ---


def vm_size():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize")


def limited(limit, fn):
    """fn() under an address-space limit of `limit` bytes: 'ok' or 'MemoryError'."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        fn()
        return "ok"
    except MemoryError:
        return "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def exhaust(build):
    if build == "mesh":
        vertices, faces = kuhn_mesh(36)  # 279936 tetrahedra
        qualities = np.tile(np.array([[2, 5, 3, 100, 50, 1]], np.float32), (len(vertices), 1))
        builders = []

        def attempt():
            builders.append(
                orvik.MeshModelBuilder(vertices, faces, 0, "elevation", (0, 0, 0, 36, 36, 36))
            )
            builders[-1].interpolated(qualities)

        def usable():
            # A builder whose build ran out of memory keeps its mesh.
            model = builders[-1].interpolated(qualities)
            return model.query(1.2, 1.3, 1.4) is not None
    elif build == "coastline":
        segments = ring_segments(400_000)
        before = segments.copy()

        def attempt():
            orvik.coastline(segments)

        def usable():
            return bool(np.array_equal(segments, before)) and len(orvik.coastline(segments)) == len(
                segments
            )
    elif build == "adaptive_tin":
        # A sample at every node: large enough (about 60 MB) that the coarse
        # limits below stop it at several stages.
        grid = wavy_grid(400)
        samples = np.stack(np.meshgrid(np.arange(1.0, 399.0), np.arange(1.0, 399.0)), -1).reshape(
            -1, 2
        )

        def attempt():
            orvik.adaptive_tin(square(399.0), [(grid, samples, 2.0, 0.5)])

        def usable():
            return (
                grid.query(10.5, 10.5)[1] is False
                and len(orvik.adaptive_tin(square(9.0), [(grid, samples[:4], 3.0, 1.0)])[0]) > 4
            )
    elif build == "query_many":
        # The scratch that orders a large batch is taken before any row is
        # written: running out of memory leaves `out` as it was.
        vertices, faces = kuhn_mesh(6)
        qualities = np.tile(np.array([[2, 5, 3, 100, 50, 1]], np.float32), (len(vertices), 1))
        tree = orvik.model_tree(
            [
                orvik.MeshModelBuilder(
                    vertices, faces, 0, "elevation", (0, 0, 0, 6, 6, 6)
                ).interpolated(qualities)
            ]
        )
        n = 3_000_000
        pts = np.random.default_rng(1).uniform(0.1, 5.9, (4, n)).astype(np.float32)
        coords, params = orvik.QueryCoordinates(*pts), orvik.QueryParams(0, 255)
        out = np.full((n, 6), -1.0, np.float32)

        def attempt():
            out.fill(-1.0)
            tree.query_many(out, coords, params)

        def usable():
            small = np.full((3, 6), -1.0, np.float32)
            tree.query_many(small, orvik.QueryCoordinates(*pts[:, :3]), params)
            return bool((out == -1.0).all()) and bool((small == 2.0).any())
    else:
        raise SystemExit(f"unknown build {build}")

    # The smallest limit that lets the build through, by bisection over the
    # address space it may add; then limits that stop it at various stages.
    attempt()
    lo, hi = 0, 1 << 31
    # The batch query needs tens of MiB, the builds hundreds: a finer search.
    for _ in range(9 if build == "query_many" else 5):
        mid = (lo + hi) // 2
        if limited(vm_size() + mid, attempt) == "ok":
            hi = mid
        else:
            lo = mid
    outcomes = []
    for fraction in (0.3, 0.6, 0.8, 0.9, 0.97):
        outcome = limited(vm_size() + int(fraction * hi), attempt)
        outcomes.append(outcome)
        if outcome == "MemoryError" and not usable():
            return {"outcomes": outcomes, "usable": False}
    return {"outcomes": outcomes, "usable": True}


if __name__ == "__main__":
    mode, what = sys.argv[1], sys.argv[2]
    result = interrupt(what) if mode == "interrupt" else exhaust(what)
    print(json.dumps(result), flush=True)
