"""The documentation site builds offline with no warning (broken references
and failing gallery examples fail the build), and renders in a real browser:
the index and a gallery page with its figures, opened in headless Chromium,
whose screenshots stay in docs/_build/screenshots."""

import os
import subprocess
from pathlib import Path

import matplotlib.image
import numpy as np
import pytest

from browser import Browser, chromium
from conftest import NAMES

ROOT = Path(__file__).resolve().parents[2]
HTML = ROOT / "docs" / "_build" / "html"
SCREENSHOTS = ROOT / "docs" / "_build" / "screenshots"
INTERSPHINX = [
    "https://docs.python.org/3/",
    "https://numpy.org/doc/stable/",
    "https://docs.xarray.dev/en/stable/",
    "https://docs.dask.org/en/stable/",
    "https://pyproj4.github.io/pyproj/stable/",
]
GALLERY = [
    "plot_salish_sea",
    "plot_grid_netcdf",
    "plot_layered_ak135",
    "plot_site_products",
    "plot_zarr_dask",
    "plot_tin",
]

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="Sphinx and Chromium are not ours to run under the sanitizers",
)


@pytest.fixture(scope="module")
def site():
    """The site, built again by the script that `make docs` runs."""
    build = subprocess.run(
        ["bash", str(ROOT / "scripts" / "docs.sh")], capture_output=True, text=True, timeout=600
    )
    assert build.returncode == 0, build.stdout + build.stderr
    return HTML


def test_every_page_and_example_is_built(site):
    for page in ["index", "installation", "performance", "api/native", "user_guide/index"]:
        assert (site / f"{page}.html").is_file()
    for example in GALLERY:
        page = (site / "gallery" / f"{example}.html").read_text(encoding="utf-8")
        assert f"sphx_glr_{example}_001.png" in page  # the example ran and drew its figure
    # The API reference documents each of the twelve compiled names.
    native = (site / "api" / "native.html").read_text(encoding="utf-8")
    for name in NAMES:
        assert f'id="orvik.{name}"' in native
    # Cross-references reach the documentation of each project we link to.
    pages = "".join(p.read_text(encoding="utf-8") for p in site.rglob("*.html"))
    for url in INTERSPHINX:
        assert f'href="{url}' in pages, url


@pytest.fixture
def browser():
    if chromium() is None:
        pytest.fail("chromium is missing: scripts/setup.sh installs it")
    b = Browser()
    yield b
    b.close()


def rendered_images(browser):
    return browser.evaluate(
        "Array.from(document.images).map(i => ({src: i.src.split('/').pop(), "
        "loaded: i.complete && i.naturalWidth > 0, width: i.getBoundingClientRect().width}))"
    )


def stylesheets_loaded(browser):
    return browser.evaluate(
        "Array.from(document.querySelectorAll('link[rel=stylesheet]')).every(l => l.sheet !== null)"
    )


def keep_screenshot(browser, name):
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    png = browser.screenshot()
    (SCREENSHOTS / f"{name}.png").write_bytes(png)
    return matplotlib.image.imread(SCREENSHOTS / f"{name}.png")


def test_the_index_renders(site, browser):
    browser.open((site / "index.html").as_uri())
    assert browser.evaluate("document.title").startswith("orvik")
    assert stylesheets_loaded(browser)
    links = browser.evaluate(
        "Array.from(document.querySelectorAll('.bd-header a.nav-link')).map(a => a.textContent.trim())"
    )
    assert {"Installation", "User guide", "Gallery", "API reference", "Performance"} <= set(links)
    pixels = keep_screenshot(browser, "index")
    assert pixels.shape[1] == 1280 and pixels[..., :3].std() > 0.05


def test_a_gallery_page_renders_with_its_figure(site, browser):
    browser.open((site / "gallery" / "plot_salish_sea.html").as_uri())
    assert stylesheets_loaded(browser)
    figures = [i for i in rendered_images(browser) if i["src"].startswith("sphx_glr_plot_salish")]
    assert [f["src"] for f in figures] == [
        "sphx_glr_plot_salish_sea_001.png",
        "sphx_glr_plot_salish_sea_002.png",
    ]
    assert all(f["loaded"] and f["width"] > 300 for f in figures)
    browser.evaluate(
        "document.querySelector('img.sphx-glr-single-img').scrollIntoView({block: 'center'})"
    )
    pixels = keep_screenshot(browser, "gallery_salish_sea")
    # The figure is on screen: many distinct colours of its colour map, not a blank page.
    colours = np.unique((pixels[..., :3] * 255).astype(np.uint8).reshape(-1, 3), axis=0)
    assert len(colours) > 500
