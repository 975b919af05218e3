"""Site model tables that hazard engines read as they are: the NaN policy
(error naming the sites, drop, fill, keep) and the optional vs30measured and
custom_site_id columns, read back by pandas as OpenQuake reads the file."""

import io
import re
import subprocess
import sys

import numpy as np
import pytest

import orvik
from orvik import site
from profiles import column_model

pd = pytest.importorskip("pandas")
LEVELS, SPEEDS = [-1, 0, 100, 100, 1400, 5000], [0.3, 0.3, 0.9, 2.0, 2.7, 3.4]
# Stations 1 and 3 lie outside the model ([0, 100] m): no value there.
LON, LAT = np.array([10.0, 120.0, 55.5, -3.0]), np.array([20.0, 50.0, 60.0, 5.0])


@pytest.fixture(scope="module")
def tree():
    return orvik.model_tree([column_model(LEVELS, SPEEDS)])


def test_nan_is_an_error_by_default_naming_every_site(tree):
    message = (
        "2 of 4 sites have no value (NaN), which hazard engines do not read: "
        "site 1 (lon 120, lat 50): vs30, z1pt0, z2pt5; site 3 (lon -3, lat 5): vs30, z1pt0, z2pt5. "
    )
    with pytest.raises(ValueError, match=re.escape(message) + ".*pass nan_policy='drop'"):
        site.site_model(tree, {"lon": LON, "lat": LAT})


def test_drop_fill_and_keep(tree):
    keep = site.site_model(tree, {"lon": LON, "lat": LAT}, nan_policy="keep")
    missing = keep[["vs30", "z1pt0", "z2pt5"]].isna().any(axis=1).to_numpy()
    np.testing.assert_array_equal(missing, [False, True, False, True])
    dropped = site.site_model(tree, {"lon": LON, "lat": LAT}, nan_policy="drop")
    pd.testing.assert_frame_equal(dropped, keep[~missing].reset_index(drop=True))
    filled = site.site_model(tree, {"lon": LON, "lat": LAT}, nan_policy="fill=760")
    pd.testing.assert_frame_equal(filled, keep.fillna(760.0))
    for bad in ("ignore", "fill=", "fill=nan", 3):
        with pytest.raises(ValueError, match="nan_policy must be 'error', 'drop', 'fill=VALUE'"):
            site.site_model(tree, {"lon": LON, "lat": LAT}, nan_policy=bad)


def test_vs30measured_and_custom_site_id_columns_survive_a_drop(tree):
    stations = pd.DataFrame({"lon": LON, "lat": LAT, "custom_site_id": ["A1", "B2", "C3", "D4"]})
    table = site.site_model(
        tree, stations, nan_policy="drop", vs30measured=False, custom_site_id=True
    )
    buffer = io.BytesIO()
    site.write_site_model(table, buffer)
    lines = buffer.getvalue().decode().splitlines()
    assert lines[0] == "lon,lat,vs30,z1pt0,z2pt5,vs30measured,custom_site_id"
    back = pd.read_csv(io.BytesIO(buffer.getvalue()))
    assert back["vs30measured"].dtype == bool and not back["vs30measured"].any()
    assert back["custom_site_id"].tolist() == ["A1", "C3"]
    numbered = site.site_model(tree, np.column_stack([LON, LAT])[[0, 2]], custom_site_id=True)
    assert numbered["custom_site_id"].tolist() == [1, 2]
    with pytest.raises(ValueError, match="custom_site_id must be text without commas"):
        site.site_model(tree, {"lon": LON[:1], "lat": LAT[:1]}, custom_site_id=["a,b"])


def test_site_command_takes_the_policy_and_the_columns(tree, tmp_path):
    path = tmp_path / "m.orvik"
    orvik.save(tree, path)
    stations = tmp_path / "s.csv"
    stations.write_text(
        "lon,lat,custom_site_id\n"
        + "".join(f"{a},{b},s{i}\n" for i, (a, b) in enumerate(zip(LON, LAT)))
    )

    def run(*options):
        return subprocess.run(
            [
                sys.executable,
                "-m",
                "orvik.cli",
                "site",
                str(path),
                str(stations),
                "--crs",
                "model",
                *options,
            ],
            capture_output=True,
        )

    proc = run()
    assert proc.returncode == 1 and b"2 of 4 sites have no value (NaN)" in proc.stderr
    assert proc.stdout == b""
    proc = run("--nan-policy", "fill=760", "--vs30measured", "--custom-site-id")
    assert proc.returncode == 0, proc.stderr
    back = pd.read_csv(io.BytesIO(proc.stdout))
    assert back["custom_site_id"].tolist() == ["s0", "s1", "s2", "s3"]
    assert back["vs30"][1] == 760 and not back["vs30measured"].any()
