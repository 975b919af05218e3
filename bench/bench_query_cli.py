"""The `orvik query` command on 10^6 points of a text file (lon lat depth)
over the Salish Sea model (examples/salish_model.py) saved with its
topography: end to end in a fresh process (start-up, loading the model
file, reading, projecting, querying, writing the text to /dev/null), in
points per second of wall clock and per CPU second of the process (the
machine may be shared). Then the command's steps, timed one by one in this
process on one thread, say what bounds it. RESULT lines feed
bench/run_all.py.
"""

import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import orvik  # noqa: E402
import salish_model as sm  # noqa: E402
from orvik import _native  # noqa: E402
from timing import report  # noqa: E402

POINTS = 1_000_000
RUNS = 3


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def end_to_end(path, points):
    command = [sys.executable, "-m", "orvik.cli", "query", str(path), "--csv", str(points)]
    best_wall = best_cpu = float("inf")
    for _ in range(RUNS):
        cpu = children_cpu()
        with open(os.devnull, "wb") as sink:
            wall, proc = timed(lambda: subprocess.run(command, stdout=sink, stderr=subprocess.PIPE))
        assert proc.returncode == 0, proc.stderr
        best_wall, best_cpu = min(best_wall, wall), min(best_cpu, children_cpu() - cpu)
    return best_wall, best_cpu


def steps(path, text):
    from orvik.cli import _Model

    times = {}
    times["load the model file"], model = timed(lambda: _Model(str(path), "EPSG:4326"))
    times["parse the text"], xyz = timed(lambda: _native.parse_rows(text, 3, 1))
    times["project lon/lat (pyproj)"], (x, y) = timed(
        lambda: model.horizontal(xyz[:, 0], xyz[:, 1])
    )
    times["surface (StructuredGrid.query_many)"], top = timed(lambda: model.top(x, y))
    rows = np.full((len(x), 6), np.nan, np.float32)
    z = (top - xyz[:, 2]).astype(np.float32)
    coords = orvik.QueryCoordinates(
        x.astype(np.float32), y.astype(np.float32), z, xyz[:, 2].astype(np.float32)
    )
    times["query_many"], _ = timed(
        lambda: model.tree.query_many(rows, coords, orvik.QueryParams(0, 255))
    )
    times["format the results"], _ = timed(lambda: _native.format_rows(rows))
    total = sum(times.values())
    print(f"the steps on one thread, {total:.2f} s in all:")
    for name, t in times.items():
        print(f"  {name}: {t:.3f} s ({t / total:.0%})")


def main() -> None:
    model = sm.build()
    region = model.region
    rng = np.random.default_rng(11)
    lon = rng.uniform(region.lon[0] + 0.05, region.lon[-1] - 0.05, POINTS)
    lat = rng.uniform(region.lat[0] + 0.05, region.lat[-1] - 0.05, POINTS)
    depth = rng.uniform(0.0, 40_000.0, POINTS).round(1)
    text = _native.format_rows(np.column_stack([lon, lat, depth]))
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "salish.orvik"
        orvik.save(model.tree, path, surface=region.surface, metadata={"crs": sm.MODEL_CRS})
        points = Path(folder) / "points.txt"
        points.write_bytes(text)
        wall, cpu = end_to_end(path, points)
        print(
            f"orvik query: {POINTS:,} points ({len(text) / 1e6:.0f} MB of text) in {wall:.2f} s "
            f"end to end = {POINTS / wall / 1e6:.2f} M points/s; {cpu:.2f} CPU s = "
            f"{POINTS / cpu / 1e6:.2f} M points per CPU second (goal >= 1 M points/s)"
        )
        report(
            "orvik query (end to end)",
            f"{POINTS:,} points",
            wall,
            None,
            None,
            f">= 1 M points/s: {POINTS / wall / 1e6:.2f} M/s",
            cpu_s=cpu,
        )
        steps(path, text)


if __name__ == "__main__":
    main()
