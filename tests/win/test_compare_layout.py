"""The layout comparison reports a host header that departs from the
platform's, names what departs and nothing else, and accepts the real one.

usage: test_compare_layout.py [--host-cxx CXX] [--mingw-cxx CXX]
Each case copies platform/host_ddk.h, changes one thing in the copy and runs
win/layout/compare_layout.py on it."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
SCRIPT = os.path.join(ROOT, "win", "layout", "compare_layout.py")
COMPILERS = []  # --host-cxx/--mingw-cxx options passed through

DIFFERENCE = re.compile(r"^layout: (.+): host (.+), platform (.+)$")


class LayoutComparison(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="compare_layout_")
        with open(os.path.join(ROOT, "platform", "host_ddk.h")) as f:
            self.header = f.read()

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def run_on(self, *replacements):
        """(exit code, {key: (host, platform)}, output) of the comparison on a
        copy of host_ddk.h with each (old, new) replaced. Every old text must
        occur exactly once, so that a changed header fails the test instead
        of leaving it without its fault."""
        text = self.header
        for old, new in replacements:
            self.assertEqual(text.count(old), 1, "host_ddk.h no longer has: %s" % old)
            text = text.replace(old, new)
        include = os.path.join(self.scratch, "include")
        os.makedirs(include, exist_ok=True)
        with open(os.path.join(include, "host_ddk.h"), "w") as f:
            f.write(text)
        result = subprocess.run([sys.executable, SCRIPT, *COMPILERS, "--host-include", include,
                                 "--work", os.path.join(self.scratch, "work")],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        differences = {}
        for line in result.stdout.splitlines():
            m = DIFFERENCE.match(line)
            if m:
                differences[m.group(1)] = (m.group(2), m.group(3))
        return result.returncode, differences, result.stdout

    def assertReported(self, expected, *replacements):
        code, differences, output = self.run_on(*replacements)
        self.assertEqual(code, 1, output)
        self.assertEqual(differences, expected, output)

    def test_the_real_header_agrees(self):
        code, differences, output = self.run_on()
        self.assertEqual((code, differences), (0, {}), output)
        self.assertIn("layout: ok:", output)

    def test_create_parameters_without_pointer_alignment_are_reported(self):
        # The drift this check was built against: FileAttributes and EaLength
        # packed after Options instead of on the next pointer boundary.
        self.assertReported({
            "IO_STACK_LOCATION.Parameters.Create.FileAttributes offset": ("20", "24"),
            "IO_STACK_LOCATION.Parameters.Create.ShareAccess offset": ("22", "26"),
            "IO_STACK_LOCATION.Parameters.Create.EaLength offset": ("24", "32"),
            "IO_STACK_LOCATION.Parameters.Create size": ("24", "32"),
        },
            ("USHORT FileAttributes __attribute__((aligned(8)));", "USHORT FileAttributes;"),
            ("ULONG EaLength __attribute__((aligned(8)));", "ULONG EaLength;"),
            # The header's own assertions would stop the compilation first.
            ("offsetof(IO_STACK_LOCATION, Parameters.Create.FileAttributes) == 24 &&", ""),
            ("offsetof(IO_STACK_LOCATION, Parameters.Create.ShareAccess) == 26 &&", ""),
            ("offsetof(IO_STACK_LOCATION, Parameters.Create.EaLength) == 32 &&", ""))

    def test_short_padding_shifts_the_fields_after_it(self):
        # The padding field itself is not compared; what follows it is.
        self.assertReported({
            "FILE_OBJECT size": ("208", "216"),
            "FILE_OBJECT.Flags offset": ("72", "80"),
            "FILE_OBJECT.FileName offset": ("80", "88"),
        },
            ("UCHAR Opaque_[80 - 40];", "UCHAR Opaque_[72 - 40];"),
            ("static_assert(sizeof(FILE_OBJECT) == 216 && offsetof(FILE_OBJECT, FsContext) == 24 &&\n"
             "                  offsetof(FILE_OBJECT, FileName) == 88,\n"
             "              \"FILE_OBJECT layout\");", ""))

    def test_wrong_types_are_reported(self):
        self.assertReported({
            "IRP.Size kind": ("signed integer", "unsigned integer"),
            "IO_STATUS_BLOCK.Status size": ("8", "4"),
            "LOGICAL size": ("1", "4"),
            "LOGICAL align": ("1", "4"),
        },
            ("  CSHORT Type;\n  USHORT Size;\n  PMDL MdlAddress;", "  CSHORT Type;\n  CSHORT Size;\n  PMDL MdlAddress;"),
            ("    NTSTATUS Status;\n    PVOID Pointer;", "    LONGLONG Status;\n    PVOID Pointer;"),
            ("typedef ULONG LOGICAL;", "typedef UCHAR LOGICAL;"))

    def test_wrong_constants_are_reported(self):
        self.assertReported({
            "STATUS_DEVICE_BUSY value": ("-2147483630 (0x80000012)", "-2147483631 (0x80000011)"),
            "IOCTL_SCSI_GET_ADDRESS value": ("266268 (0x4101C)", "266264 (0x41018)"),
            "IRP_MN_QUERY_ID value": ("20 (0x14)", "19 (0x13)"),
            "NormalPagePriority value": ("17 (0x11)", "16 (0x10)"),
        },
            ("((NTSTATUS)0x80000011L)", "((NTSTATUS)0x80000012L)"),
            ("CTL_CODE(IOCTL_SCSI_BASE, 0x0406,", "CTL_CODE(IOCTL_SCSI_BASE, 0x0407,"),
            ("#define IRP_MN_QUERY_ID                     0x13", "#define IRP_MN_QUERY_ID 0x14"),
            ("NormalPagePriority = 16", "NormalPagePriority = 17"))

    def test_names_the_platform_lacks_are_reported(self):
        self.assertReported({
            "SCSI_ADDRESS.PortIndex offset": ("4", "absent"),
            "SCSI_ADDRESS.PortIndex size": ("1", "absent"),
            "SCSI_ADDRESS.PortIndex kind": ("unsigned integer", "absent"),
            "SRB_FUNCTION_UNHEARD_OF value": ("32 (0x20)", "absent"),
            # An enumerator the platform lacks, and the ones it renumbers.
            "PowerDeviceD2Half value": ("4", "absent"),
            "PowerDeviceD3 value": ("5", "4"),
            "PowerDeviceMaximum value": ("6", "5"),
        },
            ("  UCHAR PortNumber;\n", "  UCHAR PortIndex;\n"),
            ("#define SRB_FUNCTION_FLUSH           0x08",
             "#define SRB_FUNCTION_FLUSH           0x08\n#define SRB_FUNCTION_UNHEARD_OF 0x20"),
            ("  PowerDeviceD2,\n", "  PowerDeviceD2,\n  PowerDeviceD2Half,\n"))

    def test_declarations_it_cannot_read_stop_the_comparison(self):
        # A bit field has no offset to compare: refused rather than skipped.
        code, differences, output = self.run_on(
            ("  USHORT Version;\n  ULONG Bits_;", "  USHORT Version;\n  ULONG DeviceD1 : 1;\n  ULONG Bits_ : 31;"))
        self.assertEqual((code, differences), (2, {}), output)
        self.assertIn("a bit field", output)


if __name__ == "__main__":
    while len(sys.argv) > 2 and sys.argv[1] in ("--host-cxx", "--mingw-cxx"):
        COMPILERS += sys.argv[1:3]
        del sys.argv[1:3]
    unittest.main()
