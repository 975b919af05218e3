"""The order of the gallery's examples: the main example first, then the model
kinds, then what is done with a model."""

ORDER = (
    "plot_salish_sea.py",
    "plot_grid_netcdf.py",
    "plot_layered_ak135.py",
    "plot_tin.py",
    "plot_site_products.py",
    "plot_zarr_dask.py",
)


class GalleryOrder:
    """A sort key of sphinx-gallery: examples not listed come last, by name."""

    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        return (ORDER.index(filename) if filename in ORDER else len(ORDER), filename)
