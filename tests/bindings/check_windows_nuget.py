"""Checks the Windows NuGet package: its id, version and licence, the assembly and
its targets file, and both DLLs as 64-bit x86 binaries under runtimes/win-x64/native.
Usage: check_windows_nuget.py <package.nupkg> <version>"""

import re
import struct
import sys
import zipfile

IMAGE_FILE_MACHINE_AMD64 = 0x8664


def machine(binary: bytes) -> int:
    pe_offset = struct.unpack_from("<I", binary, 0x3C)[0]
    assert binary[pe_offset:pe_offset + 4] == b"PE\0\0", "not a PE file"
    return struct.unpack_from("<H", binary, pe_offset + 4)[0]


def main(path: str, version: str) -> None:
    with zipfile.ZipFile(path) as package:
        names = set(package.namelist())
        for name in ("lib/net45/MerloxCards.dll", "lib/net45/MerloxCards.dll.config",
                     "build/MerloxCards.targets", "LICENSE.txt", "CHANGELOG.md"):
            assert name in names, f"the package lacks {name}"
        for dll in ("runtimes/win-x64/native/MERLOX.dll", "runtimes/win-x64/native/MERLOXSIM.dll"):
            assert dll in names, f"the package lacks {dll}"
            assert machine(package.read(dll)) == IMAGE_FILE_MACHINE_AMD64, f"{dll} is not x64"
        assert not any(name.endswith(".so") for name in names), "a Linux library in the package"
        nuspec = package.read("MerloxCards.nuspec").decode()
        assert re.search(r"<id>MerloxCards</id>", nuspec), nuspec
        assert f"<version>{version}</version>" in nuspec, nuspec
        assert "MIT" in nuspec, "the package does not name its licence"
        targets = package.read("build/MerloxCards.targets").decode()
        assert "runtimes/win-x64/native/" in targets, targets
    print(f"{path}: ok")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
