"""Site products on the Salish Sea model (examples/salish_model.py): Vs30,
Z1.0 and Z2.5 at 10^6 sites on a longitude / latitude grid over the region,
depths below the real topography, each product timed on its own on one
thread (wall clock, and CPU seconds of the process, since the machine may
be shared); then Vs30 at a quarter of the sites through Dask on the
machine's threads, checked equal to the eager result. RESULT lines feed
bench/run_all.py.
"""

import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import salish_model as sm  # noqa: E402
from orvik import site  # noqa: E402
from timing import report  # noqa: E402

SITES = 1000  # a SITES x SITES grid


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return time.perf_counter() - wall, time.process_time() - cpu, result


def main() -> None:
    wall, _, model = timed(sm.build)
    print(f"Salish Sea model built in {wall:.1f} s")
    region = model.region
    lon = np.linspace(region.lon[0] + 0.05, region.lon[-1] - 0.05, SITES)
    lat = np.linspace(region.lat[0] + 0.05, region.lat[-1] - 0.05, SITES)
    glon, glat = np.meshgrid(lon, lat)
    kw = dict(surface=region.surface, crs=region.to_model)
    n = glon.size
    eager = {}
    for name, fn in (("vs30", site.vs30), ("z1p0", site.z1p0), ("z2p5", site.z2p5)):
        wall, cpu, value = timed(lambda fn=fn: fn(model.tree, glon, glat, **kw))
        eager[name] = value
        print(
            f"{name}: {n:,} sites in {wall:.1f} s ({cpu:.1f} CPU s, {n / cpu / 1e3:.0f} k sites "
            f"per CPU s); {np.isfinite(value).mean():.1%} finite, median {np.nanmedian(value):.1f}"
        )
        report(f"orvik.site.{name}", f"{n:,} sites", wall, None, None, "time printed", cpu_s=cpu)

    import dask
    import dask.array as da

    threads = os.cpu_count() or 1
    quarter = (slice(0, SITES // 2), slice(0, SITES // 2))
    lazy = site.vs30(
        model.tree,
        da.from_array(glon[quarter], chunks=(SITES // 16, SITES // 2)),
        glat[quarter],
        **kw,
    )
    with dask.config.set(scheduler="threads", num_workers=threads):
        wall, cpu, value = timed(lazy.compute)
    same = np.array_equal(value, eager["vs30"][quarter], equal_nan=True)
    print(
        f"vs30 through Dask ({threads} threads), {value.size:,} sites: {wall:.1f} s "
        f"({cpu:.1f} CPU s); equal to the eager result: {same}"
    )
    report(
        f"orvik.site.vs30 (Dask, {threads} threads)", f"{value.size:,} sites", wall, None, None, "-"
    )


if __name__ == "__main__":
    main()
