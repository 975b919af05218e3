"""Helpers of the tests that hand orvik's outputs to the field's own tools:
running a tool under a memory limit and a timeout, and a small model in UTM
zone 10N (metres) whose qualities vary along every axis."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import orvik

MODEL_CRS = "EPSG:32610"
#: Longitudes and latitudes inside the model.
LON = np.linspace(-123.8, -123.2, 7)
LAT = np.linspace(48.9, 49.2, 4)


def run(*command, memory=2 << 30, timeout=300, ok=(0,), quiet=False):
    """Run an outside tool (a Debian one, or one of the environment's) under
    `prlimit --as` and a timeout; its standard output, or a failure that
    shows its standard error when it exits otherwise than `ok` (or, when
    `quiet`, says anything there)."""
    beside = Path(sys.executable).parent / command[0]
    tool = str(beside) if beside.exists() else shutil.which(command[0])
    assert tool is not None, f"{command[0]} is not installed: run make setup"
    # The sanitizer suite preloads its runtime into us; the tools are not ours to check.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(
        ["prlimit", f"--as={memory}", "timeout", str(timeout), tool, *map(str, command[1:])],
        capture_output=True,
        text=True,
        env=env,
    )
    if done.returncode not in ok or (quiet and done.stderr):
        pytest.fail(f"{' '.join(map(str, command))} exited {done.returncode}:\n{done.stderr}")
    return done.stdout


def vs_of(x, y, depth):
    """The test model's Vs in km/s (linear, so that the grid is exact)."""
    return 0.5 + (x - 420e3) / 60e3 + (y - 5.41e6) / 50e3 + depth / 4000.0


def utm_tree():
    """A grid model over the Strait of Georgia in UTM 10N, queried by depth."""
    x = np.linspace(420e3, 500e3, 17)
    y = np.linspace(5.41e6, 5.46e6, 11)
    depth = np.array([0.0, 500.0, 500.0, 1500.0, 3000.0, 6000.0])  # a jump at 500 m
    gx, gy, gd = np.meshgrid(x, y, depth, indexing="ij")
    vs = vs_of(gx, gy, gd)
    vs[..., 2:] += 0.4  # the layer below 500 m is faster
    grid = orvik.models.grid(
        x=x, y=y, depth=depth, vs=vs, vp=1.8 * vs, rho=1.6 + 0.2 * vs, priority=1, name="utm"
    )
    return orvik.model_tree([grid])
