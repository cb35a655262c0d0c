"""Checks the tools' Windows programs: 64-bit console programs that need
nothing beside them, only DLLs every Windows installation has, and of a
size that says nothing unexpected was linked in. Prints each program's
size and imported DLLs, every fault found, and exits 1 if there is any.

usage: check_program.py PROGRAM.exe... [--largest BYTES]"""

import argparse
import os
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
import pe_image  # noqa: E402

MACHINE_AMD64 = 0x8664
SUBSYSTEM_CONSOLE = 3
# Part of every Windows installation; a program that imports anything else
# (a compiler's runtime DLL, a library's) would have to ship it beside.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "setupapi.dll", "ntdll.dll", "msvcrt.dll", "user32.dll"}


def check(path, largest):
    faults = []
    image = pe_image.Image.load(path)
    size = os.path.getsize(path)
    dlls = sorted({dll.lower() for dll, _, _ in image.imports()})
    print(f"{os.path.basename(path)}: {size} bytes, imports {', '.join(dlls)}")
    if image.machine != MACHINE_AMD64:
        faults.append(f"machine 0x{image.machine:04x}, not AMD64")
    if image.subsystem != SUBSYSTEM_CONSOLE:
        faults.append(f"subsystem {image.subsystem}, not the console")
    for dll in dlls:
        if dll not in SYSTEM_DLLS:
            faults.append(f"imports {dll}, which is not part of the system")
    if size > largest:
        faults.append(f"{size} bytes, more than {largest}")
    return [f"{path}: {fault}" for fault in faults]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("programs", nargs="+")
    parser.add_argument("--largest", type=int, default=4 << 20, help="bytes a program may have at most")
    args = parser.parse_args()
    faults = []
    for path in args.programs:
        try:
            faults += check(path, args.largest)
        except (OSError, pe_image.ImageError) as e:
            faults.append(f"{path}: {e}")
    for fault in faults:
        print("FAULT:", fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
