"""Every Python block of README.md runs as written, in order, in one namespace
(as a reader pastes them into one session), in a fresh working directory."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def blocks():
    return BLOCK.findall(README.read_text())


def test_the_readme_has_python_blocks():
    assert len(blocks()) >= 4


def test_every_python_block_runs_in_order(tmp_path, monkeypatch, capsys):
    pytest.importorskip("xarray")
    pytest.importorskip("dask")
    pytest.importorskip("zarr")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for number, code in enumerate(blocks(), 1):
        try:
            exec(compile(code, f"README.md block {number}", "exec"), namespace)
        except Exception as e:
            raise AssertionError(f"README.md block {number} fails: {e!r}\n{code}") from e
    out = capsys.readouterr().out
    assert "'units': 'km/s'" in out and "complete" in out
