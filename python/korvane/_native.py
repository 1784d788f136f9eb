"""Locating libkorvane.so and declaring the C prototypes of its exports."""

import ctypes
import ctypes.util
import os
import pathlib
import threading

ENV_VARIABLE = "KORVANE_LIBRARY"
LIBRARY_NAME = "libkorvane.so"
DIM = 3072

_PACKAGE_DIR = pathlib.Path(__file__).resolve().parent

_c_index_p = ctypes.c_void_p
_c_context_p = ctypes.c_void_p
_c_array_p = ctypes.c_void_p  # every array goes in as the address of its first element

# name: (restype, argtypes), in the order of include/korvane.h.
_PROTOTYPES = {
    "korvane_last_error": (ctypes.c_char_p, ()),
    "korvane_dim": (ctypes.c_size_t, ()),
    "korvane_routing_bits": (ctypes.c_size_t, ()),
    "korvane_index_create": (_c_index_p, (ctypes.c_size_t, ctypes.c_uint64)),
    "korvane_index_create_with_store": (
        _c_index_p, (ctypes.c_size_t, ctypes.c_uint64, ctypes.c_int)),
    "korvane_index_store": (ctypes.c_int, (_c_index_p,)),
    "korvane_index_destroy": (None, (_c_index_p,)),
    "korvane_index_len": (ctypes.c_size_t, (_c_index_p,)),
    "korvane_index_contains": (ctypes.c_int, (_c_index_p, ctypes.c_uint64)),
    "korvane_index_ids": (ctypes.c_size_t, (_c_index_p, _c_array_p, ctypes.c_size_t)),
    "korvane_index_memory_bytes": (ctypes.c_size_t, (_c_index_p,)),
    "korvane_index_remove": (ctypes.c_int32, (_c_index_p, ctypes.c_uint64)),
    "korvane_index_add": (ctypes.c_int32, (_c_index_p, ctypes.c_uint64, _c_array_p)),
    "korvane_index_add_batch": (
        ctypes.c_int32,
        (_c_index_p, _c_array_p, _c_array_p, ctypes.c_size_t, ctypes.c_size_t),
    ),
    "korvane_context_create": (_c_context_p, (_c_index_p, ctypes.c_size_t)),
    "korvane_context_destroy": (None, (_c_context_p,)),
    "korvane_search": (
        ctypes.c_size_t,
        (_c_index_p, _c_context_p, _c_array_p, ctypes.c_size_t, _c_array_p, _c_array_p),
    ),
    "korvane_search_filtered": (
        ctypes.c_size_t,
        (_c_index_p, _c_context_p, _c_array_p, _c_array_p, ctypes.c_size_t,
         ctypes.c_size_t, _c_array_p, _c_array_p),
    ),
    "korvane_search_batch": (
        ctypes.c_int32,
        (_c_index_p, _c_array_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_size_t,
         ctypes.c_size_t, _c_array_p, _c_array_p, _c_array_p),
    ),
    "korvane_index_save": (ctypes.c_int32, (_c_index_p, ctypes.c_char_p)),
    "korvane_index_load": (_c_index_p, (ctypes.c_char_p,)),
}


def candidate_paths(environ=None, package_dir=_PACKAGE_DIR):
    """The places searched for the library, in order, as (description, path) pairs.

    A path containing no slash is a bare name left to the dynamic loader's own
    search (LD_LIBRARY_PATH, the ld.so cache, the standard directories)."""
    environ = os.environ if environ is None else environ
    explicit = environ.get(ENV_VARIABLE)
    if explicit:
        # An explicit choice is never overridden by a library found elsewhere.
        return [(f"${ENV_VARIABLE}", explicit)]
    places = [
        ("next to the package", str(package_dir / LIBRARY_NAME)),
        ("the source tree's build directory", str(package_dir.parent.parent / "build" / LIBRARY_NAME)),
    ]
    found = ctypes.util.find_library("korvane")
    if found:
        places.append(("ctypes.util.find_library", found))
    places.append(("the dynamic loader's search path", LIBRARY_NAME))
    return places


def _declare(lib):
    for name, (restype, argtypes) in _PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def load_library(environ=None, package_dir=_PACKAGE_DIR):
    """Loads the first library found among candidate_paths() and declares its
    fifteen functions. Raises OSError naming every place tried."""
    tried = []
    for description, path in candidate_paths(environ, package_dir):
        if os.sep in path and not os.path.exists(path):
            tried.append(f"  {path} ({description}): no such file")
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as err:
            tried.append(f"  {path} ({description}): {err}")
            continue
        try:
            _declare(lib)
        except AttributeError as err:
            tried.append(f"  {path} ({description}): not a korvane library ({err})")
            continue
        if lib.korvane_dim() != DIM:
            tried.append(f"  {path} ({description}): built for dimension {lib.korvane_dim()}, not {DIM}")
            continue
        return lib
    raise OSError(
        "korvane: cannot load libkorvane.so; set "
        f"{ENV_VARIABLE} to the path of the built library. Tried:\n" + "\n".join(tried)
    )


_cached = None
_cached_lock = threading.Lock()


def library():
    """The process-wide library, loaded on first use."""
    global _cached
    if _cached is None:
        with _cached_lock:
            if _cached is None:
                _cached = load_library()
    return _cached
