"""The image checker refuses images with a deliberate fault, names the fault,
and accepts the real driver image.

usage: test_check_image.py BUILD_DIR
BUILD_DIR is the win/ project's build folder with the targets stillscsi and
checker_fixtures built. Faults come from two places: copies of the driver
linked with one faulty source each (tests/win/faults/), and copies of the
built image with one header field, flag or table entry patched."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
WIN = os.path.join(HERE, "..", "..", "win")
sys.dont_write_bytecode = True  # keep the source folder clean
sys.path.insert(0, WIN)
import pe_image  # noqa: E402

BUILD_DIR = None


def run_checker(image_path, *options):
    """(exit code, [fault texts]) of the checker on image_path."""
    result = subprocess.run([sys.executable, os.path.join(WIN, "check_image.py"), image_path, *options],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    prefix = image_path + ": "
    faults = [line[len(prefix):] for line in result.stdout.splitlines()
              if line.startswith(prefix) and not line[len(prefix):].startswith("ok:")]
    return result.returncode, faults


class CheckerTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="check_image_")
        self.driver = os.path.join(BUILD_DIR, "stillscsi.sys")

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def assertRefused(self, image_path, expected, *options):
        """Refused with exactly the expected faults: the injected fault is
        found and nothing else about the image is reported."""
        code, faults = run_checker(image_path, *options)
        self.assertEqual(code, 1, "checker accepted %s" % image_path)
        self.assertEqual(sorted(faults), sorted(expected))

    def patched(self, patch, keep_checksum=False):
        """A copy of the driver image changed by patch(image); the checksum
        is made right again so that only the patched fault remains."""
        image = pe_image.Image.load(self.driver)
        patch(image)
        if not keep_checksum:
            image.store_checksum()
        path = os.path.join(self.scratch, "patched.sys")
        image.save(path)
        return path

    def guard_scope_table(self, image):
        guard = [s for s in image.symbols if s.name == "ProbeAndLockCallerPages"][0]
        _, _, unwind = image.runtime_function(guard.rva)
        return unwind, image.unwind_info(unwind)[2]


class DriverImage(CheckerTest):
    def test_the_built_driver_image_is_accepted(self):
        code, faults = run_checker(self.driver)
        self.assertEqual((code, faults), (0, []))


class LinkedFaults(CheckerTest):
    def fixture(self, name):
        return os.path.join(BUILD_DIR, "fault_%s.sys" % name)

    def test_an_import_outside_the_allow_list_is_refused(self):
        self.assertRefused(self.fixture("forbidden_import"),
                           ["import ntoskrnl.exe!KeBugCheckEx is not in the allow-list"])

    def test_a_resident_routine_in_PAGE_and_a_pageable_routine_in_text_are_refused(self):
        self.assertRefused(self.fixture("misplaced_routines"), [
            "GetScsiAddress (_Z14GetScsiAddressP14MisplacedFault) is in .text, expected PAGE",
            "IssueSrb (_Z8IssueSrbP14MisplacedFault) is in PAGE, expected .text",
        ])

    def test_a_static_constructor_is_refused(self):
        self.assertRefused(self.fixture("static_constructor"),
                           ["the image has static constructors, which nothing would run"])


class PatchedHeaders(CheckerTest):
    def test_a_console_subsystem_is_refused(self):
        self.assertRefused(self.patched(lambda image: image.set_subsystem(3)),
                           ["subsystem is 3, not native (1)"])

    def test_an_entry_point_other_than_DriverEntry_is_refused(self):
        unload = pe_image.Image.load(self.driver).symbol("_Z6UnloadP14_DRIVER_OBJECT")
        self.assertRefused(self.patched(lambda image: image.set_entry_rva(unload.rva)),
                           ["entry point 0x%x is %s, not DriverEntry" % (unload.rva, unload.name)])

    def test_a_stale_checksum_is_refused(self):
        image = pe_image.Image.load(self.driver)
        right = image.checksum
        path = self.patched(lambda image: struct.pack_into("<I", image.data, image.checksum_offset, right ^ 1),
                            keep_checksum=True)
        self.assertRefused(path, ["image checksum is 0x%08x, the image sums to 0x%08x" % (right ^ 1, right)])

    def test_an_image_without_symbols_cannot_be_checked(self):
        def drop_symbols(image):
            struct.pack_into("<II", image.data, image.pe_offset + 12, 0, 0)
        self.assertRefused(self.patched(drop_symbols),
                           ["the image has no symbol table: routines cannot be located"])

    def test_an_import_from_another_module_is_refused(self):
        def rename_module(image):
            at = image.data.index(b"ntoskrnl.exe\0")
            image.data[at:at + 12] = b"ntoskrnX.exe"
        image = pe_image.Image.load(self.driver)
        count = len([dll for dll, _, _ in image.imports() if dll == "ntoskrnl.exe"])
        self.assertRefused(self.patched(rename_module),
                           ["imports %d routines from ntoskrnX.exe (only ntoskrnl.exe and hal.dll are allowed)" % count])


class PatchedSections(CheckerTest):
    def patch_section(self, name, set_bits=0, clear_bits=0):
        def patch(image):
            s = image.section_named(name)
            image.set_section_characteristics(s, (s.characteristics | set_bits) & ~clear_bits)
        return self.patched(patch)

    def test_INIT_that_is_not_discardable_is_refused(self):
        path = self.patch_section("INIT", clear_bits=pe_image.IMAGE_SCN_MEM_DISCARDABLE)
        faults = run_checker(path)[1]
        self.assertEqual(len(faults), 1)
        self.assertTrue(faults[0].startswith("INIT is not discardable"), faults)

    def test_writable_code_is_refused(self):
        path = self.patch_section(".text", set_bits=pe_image.IMAGE_SCN_MEM_WRITE)
        self.assertRefused(path, ["section .text is both writable and executable (0xe0000020)"])

    def test_a_writable_import_address_table_is_refused(self):
        path = self.patch_section(".idata", set_bits=pe_image.IMAGE_SCN_MEM_WRITE)
        image = pe_image.Image.load(path)
        self.assertRefused(path, ["the import address table lies in writable section .idata (0x%08x)" %
                                  image.section_named(".idata").characteristics])

    def test_a_section_alignment_below_a_page_is_refused(self):
        self.assertRefused(self.patched(lambda image: image.set_section_alignment(512)),
                           ["section alignment is 512 bytes, not a multiple of 4096"])

    def test_discardable_resident_code_is_refused(self):
        path = self.patch_section("PAGE", set_bits=pe_image.IMAGE_SCN_MEM_DISCARDABLE)
        self.assertRefused(path, ["code section PAGE is discardable"])


class PatchedGuard(CheckerTest):
    """The guarded probe's exception handling, as the kernel will read it."""

    def test_a_guard_without_an_exception_handler_is_refused(self):
        def clear_handler_flag(image):
            unwind, _ = self.guard_scope_table(image)
            offset = image.offset_of(unwind)
            image.data[offset] &= ~(pe_image.UNW_FLAG_EHANDLER << 3) & 0xFF
        self.assertRefused(self.patched(clear_handler_flag),
                           ["ProbeAndLockCallerPages has no exception handler in its unwind data"])

    def test_a_scope_that_ends_at_the_call_is_refused(self):
        # The dispatcher looks up the return address, so a scope ending right
        # after the call instruction does not cover it.
        def shorten_scope(image):
            _, table = self.guard_scope_table(image)
            begin = image.u32(table + 4)
            struct.pack_into("<I", image.data, image.offset_of(table + 8), begin + 6)
        self.assertRefused(self.patched(shorten_scope),
                           ["no scope entry of ProbeAndLockCallerPages covers its call to MmProbeAndLockPages"])

    def test_a_termination_scope_without_landing_point_is_refused(self):
        def drop_landing(image):
            _, table = self.guard_scope_table(image)
            struct.pack_into("<I", image.data, image.offset_of(table + 16), 0)
        self.assertRefused(self.patched(drop_landing),
                           ["no scope entry of ProbeAndLockCallerPages covers its call to MmProbeAndLockPages"])


class PlacementList(CheckerTest):
    def placement(self, text):
        path = os.path.join(self.scratch, "placement.txt")
        with open(path, "w") as f:
            f.write(text)
        return "--placement", path

    def test_a_listed_routine_not_yet_written_is_skipped(self):
        code, faults = run_checker(self.driver, *self.placement(".text NotWrittenYet\nINIT DriverEntry required\n"))
        self.assertEqual((code, faults), (0, []))

    def test_a_required_routine_missing_from_the_image_is_refused(self):
        self.assertRefused(self.driver, ["required routine NotWrittenYet is not in the image"],
                           *self.placement(".text NotWrittenYet required\n"))


class RoutineNames(unittest.TestCase):
    def test_symbols_are_matched_by_source_name(self):
        cases = [
            ("DriverEntry", "DriverEntry"),
            ("_Z9AddDeviceP14_DRIVER_OBJECTP14_DEVICE_OBJECT", "AddDevice"),
            ("_ZL16CompleteUnservedP4_IRP", "CompleteUnserved"),
            ("_Z8IssueSrbP14_DEVICE_OBJECT.isra.0", "IssueSrb"),
            ("_Z18InterpretSenseInfoP14_DEVICE_OBJECT.constprop.0", "InterpretSenseInfo"),
            ("ReleaseQueueCompletion.part.0", "ReleaseQueueCompletion"),
        ]
        for symbol, name in cases:
            with self.subTest(symbol=symbol):
                self.assertEqual(pe_image.routine_name(symbol), name)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main()
