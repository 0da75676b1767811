"""Puts the native library into the wheel and tags the wheel with its platform.

The wheel for Windows (MERLOX_WHEEL_PLATFORM=win_amd64) carries MERLOX.dll and
MERLOXSIM.dll; the one for Linux (linux_x86_64) carries the host build's
libmerlox.so, the library with simulated cards inside, for development and CI.
MERLOX_WHEEL_LIBRARIES lists the files, separated by the path separator. The package
loads the library from beside itself first.
"""

from __future__ import annotations

import os
from typing import Any

from hatchling.builders.hooks.plugin.interface import BuildHookInterface


class NativeLibraryHook(BuildHookInterface):  # type: ignore[misc]
    PLUGIN_NAME = "custom"

    def initialize(self, version: str, build_data: dict[str, Any]) -> None:
        if self.target_name != "wheel":
            return
        platform = os.environ.get("MERLOX_WHEEL_PLATFORM")
        libraries = os.environ.get("MERLOX_WHEEL_LIBRARIES")
        if not platform or not libraries:
            raise RuntimeError("set MERLOX_WHEEL_PLATFORM (win_amd64 or linux_x86_64) and "
                               "MERLOX_WHEEL_LIBRARIES (the native library files)")
        for library in libraries.split(os.pathsep):
            if not os.path.isfile(library):
                raise RuntimeError(f"no native library {library}")
            build_data["force_include"][library] = f"merlox/{os.path.basename(library)}"
        build_data["pure_python"] = False
        build_data["tag"] = f"py3-none-{platform}"
