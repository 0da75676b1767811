"""Checks the Windows wheel: its tags, its metadata (version, licence), and that it
carries both DLLs as 64-bit x86 binaries beside the package's code.
Usage: check_windows_wheel.py <wheel> <version>"""

import struct
import sys
import zipfile

IMAGE_FILE_MACHINE_AMD64 = 0x8664


def machine(binary: bytes) -> int:
    pe_offset = struct.unpack_from("<I", binary, 0x3C)[0]
    assert binary[pe_offset:pe_offset + 4] == b"PE\0\0", "not a PE file"
    return struct.unpack_from("<H", binary, pe_offset + 4)[0]


def main(path: str, version: str) -> None:
    info = f"merlox-{version}.dist-info"
    with zipfile.ZipFile(path) as wheel:
        names = set(wheel.namelist())
        for name in ("merlox/__init__.py", "merlox/py.typed", "merlox/sim.py",
                     f"{info}/licenses/LICENSE"):
            assert name in names, f"the wheel lacks {name}"
        for dll in ("merlox/MERLOX.dll", "merlox/MERLOXSIM.dll"):
            assert dll in names, f"the wheel lacks {dll}"
            assert machine(wheel.read(dll)) == IMAGE_FILE_MACHINE_AMD64, f"{dll} is not x64"
        assert not any(name.endswith(".so") for name in names), "a Linux library in the wheel"
        tags = wheel.read(f"{info}/WHEEL").decode().splitlines()
        assert "Tag: py3-none-win_amd64" in tags, tags
        assert "Root-Is-Purelib: false" in tags, tags
        metadata = wheel.read(f"{info}/METADATA").decode().splitlines()
        for line in (f"Version: {version}", "License: MIT"):
            assert line in metadata, f"METADATA lacks {line!r}"
    print(f"{path}: ok")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
