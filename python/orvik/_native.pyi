# orvik._native: the package's native pieces beyond the twelve names of
# orvik.orvik (loaded from the same shared library by _native.py).

__all__: list[str]
