"""Finding and loading the searchdb shared library, and the prototypes of its
functions.

The library is looked for, in this order: at the path in the environment
variable SEARCHDB_LIBRARY (and only there when it is set); next to this
package, where `pip install` puts the copy its wheel carries; through the
system's loader (the directories it searches, and ldconfig's cache).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
import sys
from typing import List, Optional

if sys.platform == "darwin":
    _BUNDLED, _SYSTEM_NAMES = "libsearchdb*.dylib", ["libsearchdb.1.dylib", "libsearchdb.dylib"]
elif sys.platform == "win32":
    _BUNDLED, _SYSTEM_NAMES = "searchdb.dll", ["searchdb.dll"]
else:
    _BUNDLED, _SYSTEM_NAMES = "libsearchdb.so*", ["libsearchdb.so.1", "libsearchdb.so"]

_lib: Optional[ctypes.CDLL] = None
_path: Optional[str] = None


class LibraryNotFound(OSError):
    """The shared library could not be loaded from any of the places tried."""


def _candidates() -> List[str]:
    explicit = os.environ.get("SEARCHDB_LIBRARY")
    if explicit:
        return [explicit]
    here = os.path.dirname(os.path.abspath(__file__))
    bundled = sorted(glob.glob(os.path.join(here, _BUNDLED)))
    found = ctypes.util.find_library("searchdb")
    return bundled + ([found] if found else []) + _SYSTEM_NAMES


def _declare(lib: ctypes.CDLL) -> None:
    c_str, c_int = ctypes.c_char_p, ctypes.c_int
    prototypes = {
        "searchdb_init": (c_int, [c_str]),
        "searchdb_cleanup": (None, []),
        "searchdb_last_error": (c_str, []),
        "searchdb_last_error_code": (c_int, []),
        "searchdb_index_create": (c_int, [c_str, c_str]),
        "searchdb_index_delete": (c_int, [c_str]),
        "searchdb_indexes_list_json": (c_str, []),
        "searchdb_documents_add": (c_int, [c_str, c_str]),
        "searchdb_document_get": (c_str, [c_str, c_str]),
        "searchdb_document_delete": (c_int, [c_str, c_str]),
        "searchdb_search": (c_str, [c_str, c_str, c_int, c_int]),
        "searchdb_search_request": (c_str, [c_str, c_str]),
        "searchdb_index_stats_json": (c_str, [c_str]),
        "searchdb_index_check": (c_int, [c_str]),
        "searchdb_index_derived_state": (c_int, [c_str]),
        "searchdb_index_write_derived": (c_int, [c_str]),
    }
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def library() -> ctypes.CDLL:
    """The loaded library, loading it on first use."""
    global _lib, _path
    if _lib is None:
        failures = []
        for candidate in _candidates():
            try:
                lib = ctypes.CDLL(candidate)
                _declare(lib)
            except (OSError, AttributeError) as exc:
                failures.append(f"{candidate}: {exc}")
                continue
            _lib, _path = lib, candidate
            break
        else:
            raise LibraryNotFound(
                "cannot load the searchdb library: reinstall the package (its wheel "
                "carries the library) or set SEARCHDB_LIBRARY to the path of "
                "libsearchdb. Tried:\n  " + "\n  ".join(failures))
    return _lib


def path() -> Optional[str]:
    """Where the loaded library came from (None before it is loaded)."""
    return _path
