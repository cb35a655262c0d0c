"""Checks a built stillscsi.sys against what the kernel, and the driver's own
placement rules, require of it. Prints every fault found and exits 1 if
there is any, 0 otherwise.

usage: check_image.py IMAGE [--imports FILE] [--placement FILE]

The image must keep its COFF symbol table (the build keeps it), which is how
routines are found; their C++ names are matched by source name."""

import argparse
import os
import struct
import sys

sys.dont_write_bytecode = True  # keep the source folder clean
import pe_image  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ALLOWED_MODULES = ("ntoskrnl.exe", "hal.dll")
GUARD = "ProbeAndLockCallerPages"


def read_table(path, columns):
    """Rows of a whitespace-separated list file; # starts a comment. The
    last of `columns` fields takes the rest of the line."""
    rows = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split(None, columns - 1)
            if len(fields) < columns - 1:
                raise SystemExit("%s:%d: expected %d fields" % (path, number, columns))
            rows.append(fields)
    return rows


def read_allowed_imports(path):
    allowed = {}
    for fields in read_table(path, 3):
        if len(fields) < 3 or not fields[2].strip():
            raise SystemExit("%s: %s has no reason" % (path, " ".join(fields[:2])))
        allowed[(fields[0].lower(), fields[1])] = fields[2]
    return allowed


def read_placement(path):
    placement = []
    for fields in read_table(path, 3):
        required = len(fields) > 2 and fields[2].strip() == "required"
        if len(fields) > 2 and not required:
            raise SystemExit("%s: unknown flag %r for %s" % (path, fields[2], fields[1]))
        placement.append((fields[0], fields[1], required))
    return placement


class Checker:
    def __init__(self, image, allowed, placement):
        self.image = image
        self.allowed = allowed
        self.placement = placement
        self.faults = []

    def fault(self, text):
        self.faults.append(text)

    def run(self):
        if not self.check_headers():
            return self.faults
        self.check_sections()
        self.check_checksum()
        self.check_imports()
        if not self.image.symbols:
            self.fault("the image has no symbol table: routines cannot be located")
            return self.faults
        self.check_entry()
        self.check_placement()
        self.check_no_static_constructors()
        self.check_guard()
        return self.faults

    def check_headers(self):
        image = self.image
        ok = True
        if image.machine != pe_image.IMAGE_FILE_MACHINE_AMD64:
            self.fault("machine is 0x%04x, not AMD64 (0x8664)" % image.machine)
            ok = False
        if image.magic != pe_image.PE32_PLUS_MAGIC:
            self.fault("optional header magic is 0x%03x, not PE32+ (0x20b)" % image.magic)
            return False
        if image.subsystem != pe_image.IMAGE_SUBSYSTEM_NATIVE:
            self.fault("subsystem is %d, not native (1)" % image.subsystem)
            ok = False
        # The kernel loads a driver wherever it finds room, so the image
        # must carry its base relocations.
        reloc_rva, reloc_size = image.directory(pe_image.DIRECTORY_BASERELOC)
        if image.file_characteristics & pe_image.IMAGE_FILE_RELOCS_STRIPPED or reloc_size == 0:
            self.fault("the image has no base relocations")
        # A driver can have neither thread-local storage nor delay-loaded imports.
        if image.directory(pe_image.DIRECTORY_TLS)[1]:
            self.fault("the image has a TLS directory")
        if image.directory(pe_image.DIRECTORY_DELAY_IMPORT)[1]:
            self.fault("the image has delay-loaded imports")
        return ok

    def check_sections(self):
        init = self.image.section_named("INIT")
        if init is None:
            self.fault("the image has no INIT section")
        elif not init.discardable:
            self.fault("INIT is not discardable (characteristics 0x%08x)" % init.characteristics)
        # Memory integrity maps the image by sections, page by page: each
        # section on pages of its own, none both writable and executable,
        # and the import address table read-only once the loader has
        # filled it.
        if self.image.section_alignment % 4096 != 0:
            self.fault("section alignment is %d bytes, not a multiple of 4096" % self.image.section_alignment)
        iat_rva, iat_size = self.image.directory(pe_image.DIRECTORY_IAT)
        if iat_size:
            holder = self.image.section_of(iat_rva)
            if holder is None:
                self.fault("the import address table lies in no section")
            elif holder.writable:
                self.fault("the import address table lies in writable section %s (0x%08x)" %
                           (holder.name, holder.characteristics))
        for s in self.image.sections:
            if s.writable and s.executable:
                self.fault("section %s is both writable and executable (0x%08x)" % (s.name, s.characteristics))
            if s.executable and s.discardable and s.name != "INIT":
                self.fault("code section %s is discardable" % s.name)

    def check_checksum(self):
        expected = self.image.compute_checksum()
        if self.image.checksum != expected:
            self.fault("image checksum is 0x%08x, the image sums to 0x%08x" % (self.image.checksum, expected))

    def check_imports(self):
        foreign = {}
        for dll, name, _ in self.image.imports():
            if dll.lower() not in ALLOWED_MODULES:
                foreign[dll] = foreign.get(dll, 0) + 1
            elif name is None:
                self.fault("imports by ordinal from %s" % dll)
            elif (dll.lower(), name) not in self.allowed:
                self.fault("import %s!%s is not in the allow-list" % (dll, name))
        for dll, count in foreign.items():
            self.fault("imports %d routines from %s (only %s are allowed)" %
                       (count, dll, " and ".join(ALLOWED_MODULES)))

    def routines(self, name):
        return [s for s in self.image.symbols if s.is_function and pe_image.routine_name(s.name) == name]

    def check_entry(self):
        entry = self.routines("DriverEntry")
        if not entry:
            self.fault("the image has no DriverEntry")
        elif self.image.entry_rva not in [s.rva for s in entry]:
            found = [s.name for s in self.image.symbols if s.is_function and s.rva == self.image.entry_rva]
            self.fault("entry point 0x%x is %s, not DriverEntry" %
                       (self.image.entry_rva, found[0] if found else "no routine"))

    def check_placement(self):
        for section, name, required in self.placement:
            symbols = self.routines(name)
            if not symbols:
                if required:
                    self.fault("required routine %s is not in the image" % name)
                continue
            for s in symbols:
                if s.section.name != section:
                    self.fault("%s (%s) is in %s, expected %s" % (name, s.name, s.section.name, section))

    def check_no_static_constructors(self):
        # Nothing runs static constructors in a driver. The linker lays out
        # the constructor list as -1, the constructors, 0.
        ctors = self.image.symbol("___CTOR_LIST__") or self.image.symbol("__CTOR_LIST__")
        if ctors is not None and self.image.u64(ctors.rva + 8) != 0:
            self.fault("the image has static constructors, which nothing would run")

    def check_guard(self):
        """The guarded probe must be covered by real exception handling: its
        unwind data names __C_specific_handler, and a scope entry with a
        landing point covers the call to MmProbeAndLockPages."""
        image = self.image
        guards = self.routines(GUARD)
        if not guards:
            return
        rva = guards[0].rva
        function = image.runtime_function(rva)
        if function is None:
            self.fault("%s has no unwind data" % GUARD)
            return
        begin, end, unwind = function
        flags, handler, scope_table = image.unwind_info(unwind)
        if not flags & pe_image.UNW_FLAG_EHANDLER or handler is None:
            self.fault("%s has no exception handler in its unwind data" % GUARD)
            return
        iat = {slot: (dll, name) for dll, name, slot in image.imports()}
        if self.jump_target(handler, b"\xff\x25") not in [slot for slot, (_, n) in iat.items()
                                                          if n == "__C_specific_handler"]:
            self.fault("%s's exception handler is not the kernel's __C_specific_handler" % GUARD)
            return
        calls = [site for site in range(begin, end - 5)
                 if iat.get(self.jump_target(site, b"\xff\x15"), (None, None))[1] == "MmProbeAndLockPages"]
        if not calls:
            self.fault("%s does not call MmProbeAndLockPages through its import" % GUARD)
            return
        count = image.u32(scope_table)
        for i in range(count):
            scope_begin, scope_end, _, landing = struct.unpack("<IIII", image.read(scope_table + 4 + 16 * i, 16))
            # The dispatcher compares the return address with the scope.
            if landing != 0 and all(scope_begin <= call + 6 < scope_end for call in calls):
                if not begin <= landing < end:
                    self.fault("%s's landing point lies outside the routine" % GUARD)
                return
        self.fault("no scope entry of %s covers its call to MmProbeAndLockPages" % GUARD)

    def jump_target(self, rva, opcode):
        """Target slot of an indirect `jmp/call [rip+disp32]` at rva, or None."""
        try:
            code = self.image.read(rva, 6)
        except pe_image.ImageError:
            return None
        if code[:2] != opcode:
            return None
        return rva + 6 + struct.unpack("<i", code[2:6])[0]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image")
    parser.add_argument("--imports", default=os.path.join(HERE, "allowed_imports.txt"))
    parser.add_argument("--placement", default=os.path.join(HERE, "placement.txt"))
    args = parser.parse_args(argv)
    try:
        image = pe_image.Image.load(args.image)
    except (OSError, pe_image.ImageError) as e:
        print("%s: cannot read image: %s" % (args.image, e))
        return 1
    faults = Checker(image, read_allowed_imports(args.imports), read_placement(args.placement)).run()
    for text in faults:
        print("%s: %s" % (args.image, text))
    if faults:
        return 1
    routines = sorted({pe_image.routine_name(s.name) for s in image.symbols
                       if s.is_function and s.section.name in ("INIT", "PAGE")})
    print("%s: ok: PE32+ AMD64 native driver, %d imports, INIT/PAGE routines: %s" %
          (args.image, len(image.imports()), " ".join(routines)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
