"""Release metadata: the version is written once and read everywhere, and the
source distribution builds with complete metadata and every file that the
build needs."""

import email.parser
import subprocess
import sys
import tarfile
import tomllib
from pathlib import Path

import pytest

import orvik

ROOT = Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def test_the_version_is_written_once_and_read_everywhere():
    assert "version" not in PROJECT.get("dynamic", [])
    assert orvik.__version__ == PROJECT["version"]
    command = Path(sys.executable).parent / "orvik"
    shown = subprocess.run([command, "--version"], capture_output=True, text=True, check=True)
    assert shown.stdout == f"orvik {PROJECT['version']}\n"


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", str(out), str(ROOT)],
        check=True,
        capture_output=True,
    )
    (path,) = out.glob("orvik-*.tar.gz")
    return tarfile.open(path)


def test_the_sdist_has_complete_metadata(sdist):
    top = f"orvik-{PROJECT['version']}"
    info = email.parser.Parser().parsestr(sdist.extractfile(f"{top}/PKG-INFO").read().decode())
    assert info["Name"] == "orvik" and info["Version"] == PROJECT["version"]
    assert info["License-Expression"] == "GPL-3.0-or-later"
    assert info["License-File"] == "LICENSE"
    assert "GNU GENERAL PUBLIC LICENSE" in sdist.extractfile(f"{top}/LICENSE").read().decode()
    classifiers = info.get_all("Classifier")
    assert "Programming Language :: Python :: 3.13" in classifiers
    assert "Intended Audience :: Science/Research" in classifiers
    # no address is named until the site is hosted somewhere real
    assert info.get_all("Project-URL") is None
    assert info["Requires-Python"] == ">=3.13"


def test_the_sdist_holds_every_file_the_build_needs(sdist):
    top = f"orvik-{PROJECT['version']}/"
    held = {name.removeprefix(top) for name in sdist.getnames()}
    tracked = subprocess.run(
        ["git", "ls-files", "CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE",
         "src", "python", "tests/cpp", "fuzz", "bench/CMakeLists.txt", "bench/*.cpp"],
        cwd=ROOT, capture_output=True, text=True, check=True,
    ).stdout.split()  # fmt: skip
    assert len(tracked) > 100
    assert sorted(set(tracked) - held) == []
    # Nothing built or local slips in.
    assert not [n for n in held if n.split("/")[0] in {"build", "dist", ".venv", ".ci"}]
    assert not [n for n in held if n.startswith("docs/_build") or n.endswith(".so")]
