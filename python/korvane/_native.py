"""Locating libkorvane.so and declaring the C prototypes of its exports."""

import ctypes
import ctypes.util
import os
import pathlib
import threading

from ._version import __version__ as PACKAGE_VERSION

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


def in_source_tree(package_dir=_PACKAGE_DIR):
    """True when the package directory is python/korvane of a korvane source
    tree (the tree's CMakeLists.txt two levels up), not an installed copy."""
    return (pathlib.Path(package_dir).parent.parent / "CMakeLists.txt").is_file()


def candidate_paths(environ=None, package_dir=_PACKAGE_DIR):
    """The places searched for the library, in order, as (description, path) pairs.

    A path containing no slash is a bare name left to the dynamic loader's own
    search (LD_LIBRARY_PATH, the ld.so cache, the standard directories)."""
    environ = os.environ if environ is None else environ
    explicit = environ.get(ENV_VARIABLE)
    if explicit:
        # An explicit choice is never overridden by a library found elsewhere.
        return [(f"${ENV_VARIABLE}", explicit)]
    package_dir = pathlib.Path(package_dir)
    # A wheel carries its library here.
    places = [("next to the package", str(package_dir / LIBRARY_NAME))]
    if in_source_tree(package_dir):
        places.append(("the source tree's build directory",
                       str(package_dir.parent.parent / "build" / LIBRARY_NAME)))
    found = ctypes.util.find_library("korvane")
    if found:
        places.append(("ctypes.util.find_library", found))
    places.append(("the dynamic loader's search path", LIBRARY_NAME))
    return places


def library_version(lib):
    """The version string korvane_version() of the loaded library `lib`
    returns, or None for a library older than that function."""
    try:
        fn = lib.korvane_version
    except AttributeError:
        return None
    fn.restype = ctypes.c_char_p
    fn.argtypes = ()
    return fn().decode("ascii", "replace")


def version_mismatch(found, expected=PACKAGE_VERSION):
    """Why a library of version `found` (None: one without korvane_version)
    cannot serve this package, or None when it can: the two must be built
    from the same version of the source, since the Python layer relies on
    the exports and behaviour of exactly that version."""
    if found == expected:
        return None
    shown = "a version older than 0.2.0 (no korvane_version)" if found is None else f"version {found}"
    return (f"{shown}, but this korvane package is version {expected}: a stale library "
            "(rebuild it, or reinstall the package)")


def _declare(lib):
    for name, (restype, argtypes) in _PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def load_library(environ=None, package_dir=_PACKAGE_DIR, version=PACKAGE_VERSION):
    """Loads the first library found among candidate_paths() whose
    korvane_version() is `version` (the package's) and declares its
    functions. Raises OSError naming every place tried and why each was
    refused; a library of another version is refused as stale."""
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
        stale = version_mismatch(library_version(lib), version)
        if stale:
            tried.append(f"  {path} ({description}): {stale}")
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
        f"korvane {version}: cannot load libkorvane.so {version}; set "
        f"{ENV_VARIABLE} to the path of the library built from the same source. Tried:\n" + "\n".join(tried)
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
