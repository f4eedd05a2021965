"""tarvex: pick a small subset of rows that is at once useful and spread out (GIST)."""


def _preload_tbb():
    """Load libtbb.so.12 from the `tbb` distribution, for layouts where the
    module's RPATH does not reach it (a user site, a --target directory)."""
    import ctypes
    import importlib.metadata

    try:
        files = importlib.metadata.files("tbb") or []
    except importlib.metadata.PackageNotFoundError:
        return False
    loaded = False
    for file in files:
        if file.name.startswith("libtbb.so"):
            path = file.locate()
            try:
                ctypes.CDLL(str(path), mode=ctypes.RTLD_GLOBAL)
            except OSError:
                continue
            loaded = True
            break
    return loaded


try:
    from ._tarvex import __version__, gist_select, gist_select_full
except ImportError as _error:
    if "libtbb" not in str(_error) or not _preload_tbb():
        raise
    from ._tarvex import __version__, gist_select, gist_select_full

__all__ = ["__version__", "gist_select", "gist_select_full"]
