"""orvik on a dask.distributed LocalCluster of worker processes: the same bits
as one query_many; the model tree sent to each worker once per client, however
many times it is sampled; recovery when every worker dies mid-job; a tree the
caller scattered; and functions defined in a script's __main__ that use orvik,
shipped to Dask and to joblib's loky workers."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import orvik
from conftest import kuhn_block

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
pytest.importorskip("xarray")

from test_sampling import make_tree, reference, same_bits  # noqa: E402
from traffic import count_received_bytes  # noqa: E402

F32 = np.float32


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
    ) as cluster:
        yield cluster


@pytest.fixture
def client(cluster):
    with distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        yield client


def points(n, chunks, seed=9):
    """Random points as Dask arrays that the workers generate themselves."""
    rng = da.random.default_rng(seed)
    return [rng.uniform(*span, n, chunks=chunks) for span in ((-1, 11), (-1, 11), (-11, 1))]


def big_tree():
    """A tree of 160,000 tetrahedra (some MB pickled) that covers the points
    of `points`, so that sending it dominates any other traffic."""
    vertices, faces = kuhn_block((30, 30, 30), origin=(-1, -1, -11), step=0.4)
    qualities = np.column_stack(
        [vertices[:, 0], vertices[:, 1] + 3, vertices[:, 2] + 20, *np.ones((3, len(vertices)))]
    ).astype(F32)
    lo, hi = vertices.min(0), vertices.max(0)
    bounds = tuple(float(v) for v in (*lo, *hi))
    model = orvik.MeshModelBuilder(vertices, faces, 0, "elevation", bounds).interpolated(qualities)
    return orvik.model_tree([model])


def test_same_bits_whether_the_graph_was_made_before_or_under_the_client(client):
    tree = make_tree()
    x, y, z = points(4000, 500)
    expected = reference(tree, *(a.compute() for a in (x, y, z)))
    in_graph = orvik.sample(tree, x, y, z, dims=["point"])
    with distributed.Client(client.scheduler.address, set_as_default=True) as other:
        made_under_client = orvik.sample(tree, x, y, z, dims=["point"])
        for lazy in (in_graph, made_under_client):
            same_bits(other.compute(lazy.data).result(), expected)
    # A result made under a client runs there only, and says so elsewhere.
    with pytest.raises(RuntimeError, match="compute it on that client"):
        made_under_client.compute(scheduler="sync")


def test_the_tree_is_sent_to_each_worker_once_per_client(client):
    import pickle

    tree = big_tree()
    tree_bytes = len(pickle.dumps(tree))
    x, y, z = points(20_000, 2_500)
    expected = reference(tree, *(a.compute() for a in (x, y, z)))
    before = client.run(count_received_bytes)
    for _ in range(3):
        lazy = orvik.sample(tree, x, y, z)
        same_bits(lazy.compute(), expected)
    after = client.run(count_received_bytes)
    got = {w: after[w] - before[w] for w in after}
    # Once: the tree, plus the blocks' coordinates and a little protocol.
    assert all(b < 1.5 * tree_bytes for b in got.values()), (got, tree_bytes)
    assert any(b > tree_bytes for b in got.values()), (got, tree_bytes)


def test_a_tree_no_one_holds_any_more_is_released_from_the_workers(client):
    def shipped(dask_worker):
        return sorted(n for n in dask_worker.plugins if n.startswith("orvik-PyModelTree-"))

    x, y, z = points(2000, 1000)
    kept = make_tree()
    before = {n for names in client.run(shipped).values() for n in names}
    lazy = orvik.sample(make_tree(), x, y, z)  # a tree that only the result holds
    orvik.sample(kept, x, y, z).compute()
    new = [set(names) - before for names in client.run(shipped).values()]
    assert all(len(names) == 2 for names in new)
    del lazy
    orvik.sample(kept, x, y, z).compute()  # the next call releases what no one holds
    now = [set(names) for names in client.run(shipped).values()]
    assert all(len(n & names) == 1 for n, names in zip(new, now))


def test_what_a_closed_client_sent_is_released_by_the_next_client(cluster):
    def shipped(dask_worker):
        return {n for n in dask_worker.plugins if n.startswith("orvik-PyModelTree-")}

    x, y, z = points(2000, 1000)
    tree = make_tree()
    with distributed.Client(cluster) as first:
        before = set.union(*first.run(shipped).values())
        orvik.sample(tree, x, y, z).compute()
        sent = set.union(*first.run(shipped).values()) - before
    assert len(sent) == 1
    with distributed.Client(cluster) as second:
        orvik.sample(make_tree(), x, y, z).compute()
        assert not sent & set.union(*second.run(shipped).values())


def test_a_kill_of_every_worker_mid_job_still_ends_in_the_full_result(client):
    tree = make_tree()
    x, y, z = points(3_000_000, 100_000, seed=4)
    expected = reference(tree, *(a.compute() for a in (x, y, z)))
    lazy = orvik.sample(tree, x, y, z)
    future = client.compute(lazy.data)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        done = sum(
            1 for k in client.who_has() if isinstance(k, tuple) and "orvik-sample" in str(k[0])
        )
        if done >= 3:
            break
        time.sleep(0.02)
    assert not future.done()
    for pid in client.run(os.getpid).values():
        os.kill(pid, signal.SIGKILL)
    same_bits(future.result(timeout=120), expected)


def test_a_tree_the_caller_scattered(client):
    tree = make_tree()
    x, y, z = points(4000, 1000)
    scattered = client.scatter(tree, broadcast=True)
    out = orvik.sample(scattered, x.compute(), y.compute(), z.compute())
    same_bits(out.compute().values, reference(tree, *(a.compute() for a in (x, y, z))))


SCRIPT = textwrap.dedent(
    """
    import sys
    import cloudpickle, numpy as np, orvik
    sys.path.insert(0, {tests!r})
    from test_sampling import make_tree

    def vs_profile(tree, x):
        # Defined in __main__: pickled by value, with a reference to orvik.
        return orvik.sample(tree, x, 4.5, np.linspace(-9.0, 0.5, 7)).sel(quality="vs").values

    if __name__ == "__main__":
        cloudpickle.dumps(orvik)
        tree = make_tree()
        xs = [1.5, 3.25, 7.0]
        expected = [vs_profile(tree, x) for x in xs]
        if sys.argv[1] == "dask":
            import distributed
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          dashboard_address=None, silence_logs=50) as cluster:
                with distributed.Client(cluster) as client:
                    got = client.gather(client.map(vs_profile, [tree] * 3, xs))
        else:
            from joblib import Parallel, delayed
            got = Parallel(n_jobs=2, backend="loky")(delayed(vs_profile)(tree, x) for x in xs)
        same = all(np.array_equal(a, b, equal_nan=True) for a, b in zip(got, expected))
        print("same" if same and not np.isnan(expected[0]).all() else "different")
    """
)


@pytest.mark.parametrize("backend", ["dask", "loky"])
def test_a_function_of_a_script_that_uses_orvik_runs_on_workers(tmp_path, backend):
    if backend == "loky":
        pytest.importorskip("joblib")
    script = tmp_path / "job.py"
    script.write_text(SCRIPT.format(tests=os.path.dirname(__file__)))
    proc = subprocess.run(
        [sys.executable, str(script), backend], capture_output=True, text=True, timeout=180
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split()[-1] == "same"


def test_site_products_on_the_cluster(client):
    from orvik import site
    from profiles import column_model

    tree = orvik.model_tree([column_model([-1, 0, 30, 500], [0.1, 0.1, 1.0, 3.0])])
    rng = np.random.default_rng(2)
    x, y = rng.uniform(0, 100, 500), rng.uniform(0, 100, 500)
    lazy = site.z1p0(tree, da.from_array(x, chunks=100), da.from_array(y, chunks=100))
    np.testing.assert_array_equal(lazy.compute(), site.z1p0(tree, x, y))
