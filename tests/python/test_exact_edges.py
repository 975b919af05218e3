"""Answers at the edges where a small slip would still look plausible: the
upper bound of a priority range for a tree of one model, and the site scan
against the analytic travel time and crossing of a piecewise-linear Vs."""

import numpy as np
import pytest

import orvik
from orvik import models, site

# Vs (km/s) linear between these depths (m), with a small change of gradient
# at 7.3 m and a larger one at 30 m: a scan that took a piece with a kink for
# linear, or left out its last sample, would be off by more than 1e-7.
SLOPE = 0.1 / 7.3
DEPTHS = np.array([0.0, 7.3, 30.0, 500.0])  # Vp stays below 15 km/s
VS = np.array([0.3, 0.4, 0.4 + 22.7 * SLOPE * 1.05, 0.4 + 22.7 * SLOPE * 1.05 + 470 * SLOPE * 0.9])


def layered_tree(priority=3):
    table = {"depth": DEPTHS, "vp": 2 * VS, "vs": VS, "rho": np.full(4, 2.0)}
    return orvik.model_tree([models.layered(table, priority=priority, extent=(-10, 10, -10, 10))])


def test_vs30_matches_the_analytic_travel_time():
    v = VS * 1e3
    time = sum(
        (DEPTHS[k + 1] - DEPTHS[k]) / (v[k + 1] - v[k]) * np.log(v[k + 1] / v[k]) for k in (0, 1)
    )
    got = site.vs30(layered_tree(), np.array([0.0, 5.0]), np.array([0.0, -5.0]))
    np.testing.assert_allclose(got, 30.0 / time, rtol=1e-7)


def test_a_crossing_in_the_last_step_of_the_scan_is_found():
    slope = (VS[3] - VS[2]) / (DEPTHS[3] - DEPTHS[2])
    crossing = DEPTHS[2] + (1.0 - VS[2]) / slope  # 52.18 m, in the scan's last step
    got = site.z1p0(layered_tree(), np.array([0.0]), np.array([0.0]), step=10.0, max_depth=60.0)
    np.testing.assert_allclose(got, crossing, atol=1e-5)


@pytest.mark.parametrize("kind", ["grid", "layered"])
def test_a_lone_model_answers_at_both_bounds_of_the_priority_range(kind):
    if kind == "layered":
        tree = layered_tree(priority=7)
    else:
        axis = np.array([-1.0, 0.0, 1.0])
        cells = np.ones((3, 3, 3))
        tree = orvik.model_tree(
            [models.grid(priority=7, x=axis, y=axis, z=axis, rho=cells, vp=2 * cells, vs=cells)]
        )
    point = orvik.QueryCoordinates(
        *(np.zeros(1, np.float32) for _ in range(3)), np.full(1, 0.5, np.float32)
    )
    answers = {}
    for lo, hi in ((7, 7), (0, 7), (7, 255), (0, 6), (8, 255)):
        out = np.full((1, 6), np.nan, np.float32)
        tree.query_many(out, point, orvik.QueryParams(lo, hi))
        answers[lo, hi] = bool(np.isfinite(out).all())
    assert answers == {(7, 7): True, (0, 7): True, (7, 255): True, (0, 6): False, (8, 255): False}
