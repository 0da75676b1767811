"""Finding and loading the native library.

On Windows the package uses MERLOX.dll, found like any DLL an application loads
(beside the program, on PATH). Elsewhere it uses the host build's libmerlox.so,
which holds the library and a simulated card together; there is no hardware
access outside Windows. MERLOX_LIBRARY names the file to load instead, which is
how tests and development trees point the package at a build.
"""

from __future__ import annotations

import ctypes
import os
import sys
from typing import Any, Iterable, Optional


class LibraryNotFoundError(OSError):
    """The native library could not be loaded from any of the places tried."""


def _candidates() -> list[str]:
    override = os.environ.get("MERLOX_LIBRARY")
    if override:
        return [override]
    here = os.path.dirname(os.path.abspath(__file__))
    if sys.platform == "win32":
        return [os.path.join(here, "MERLOX.dll"), "MERLOX.dll"]
    return [os.path.join(here, "libmerlox.so"), "libmerlox.so"]


def load(paths: Optional[Iterable[str]] = None) -> ctypes.CDLL:
    """Loads the first of paths (default: the usual places) that loads."""
    tried = []
    for path in paths if paths is not None else _candidates():
        if os.path.sep in path and not os.path.exists(path):
            tried.append(f"{path}: no such file")
            continue
        try:
            if sys.platform == "win32":
                # One calling convention on 64-bit Windows; WinDLL states the
                # header's __stdcall all the same.
                return ctypes.WinDLL(path)
            return ctypes.CDLL(path)
        except OSError as error:
            tried.append(f"{path}: {error}")
    raise LibraryNotFoundError(
        "cannot load the MERLOX library; tried:\n  "
        + "\n  ".join(tried)
        + "\nSet MERLOX_LIBRARY to the path of MERLOX.dll (Windows) or of the host "
        "build's libmerlox.so (build/host)."
    )


def declare(library: ctypes.CDLL,
            prototypes: Iterable[tuple[str, Any, list[Any]]]) -> Any:
    """Sets restype and argtypes of each (name, restype, argtypes) on library.

    A name the library lacks raises AttributeError at once, rather than at the
    first call, so a mismatched library is noticed on loading.
    """
    for name, restype, argtypes in prototypes:
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library
