"""Finishes a linked driver image: marks the INIT section discardable, so the
kernel frees DriverEntry's pages once it has returned, and stores the image
checksum, which the kernel verifies when it loads a driver. GNU ld offers no
way to set the first and its checksum is out of date after it."""

import os
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
import pe_image  # noqa: E402


def finish(path):
    image = pe_image.Image.load(path)
    init = image.section_named("INIT")
    if init is None:
        raise SystemExit("%s: no INIT section; is DriverEntry placed there?" % path)
    image.set_section_characteristics(init, init.characteristics | pe_image.IMAGE_SCN_MEM_DISCARDABLE)
    image.store_checksum()
    temporary = path + ".finishing"
    image.save(temporary)
    os.replace(temporary, path)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: finish_image.py IMAGE")
    finish(sys.argv[1])
