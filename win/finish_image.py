"""Finishes a linked driver image: marks the INIT section discardable, so the
kernel frees DriverEntry's pages once it has returned; makes the section of
the import address table read-only, as memory integrity expects (the loader
fills the table before it applies the sections' protections); and stores the
image checksum, which the kernel verifies when it loads a driver. GNU ld
offers no way to set the first two and its checksum is out of date after
them."""

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
    iat_rva, iat_size = image.directory(pe_image.DIRECTORY_IAT)
    if iat_size:
        holder = image.section_of(iat_rva)
        if holder is None:
            raise SystemExit("%s: the import address table lies in no section" % path)
        image.set_section_characteristics(holder, holder.characteristics & ~pe_image.IMAGE_SCN_MEM_WRITE)
    image.store_checksum()
    temporary = path + ".finishing"
    image.save(temporary)
    os.replace(temporary, path)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: finish_image.py IMAGE")
    finish(sys.argv[1])
