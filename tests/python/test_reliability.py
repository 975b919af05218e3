"""Long calls stop on Ctrl-C, and index builds and batch queries that run out
of address space raise MemoryError and leave everything usable. Each case runs in a child
process (reliability_child.py), so that a crash fails the test instead of
ending the session."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

CHILD = pathlib.Path(__file__).with_name("reliability_child.py")
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_child(*args, timeout=120):
    proc = subprocess.run(
        [sys.executable, str(CHILD), *args], capture_output=True, text=True, timeout=timeout
    )
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize(
    "call", ["query_many", "adaptive_tin", "grid_query_many", "signed_distance"]
)
def test_sigint_stops_a_long_call_within_a_second(call):
    report = run_child("interrupt", call)
    assert report["stopped"], report
    assert report["latency"] < 1.0, report
    assert report["usable"], report
    if call == "query_many":
        # Rows are written whole or not at all.
        assert report["partial_rows"] == 0, report
        assert report["rows_done"] > 0, report


@pytest.mark.skipif(
    UNDER_ASAN, reason="the sanitizer reserves more address space than any limit allows"
)
@pytest.mark.parametrize("build", ["mesh", "coastline", "adaptive_tin", "query_many"])
def test_exhausted_address_space_raises_memory_error(build):
    report = run_child("exhaust", build)
    assert report["usable"], report
    assert set(report["outcomes"]) <= {"ok", "MemoryError"}, report
    assert "MemoryError" in report["outcomes"], report
