"""The INF checker accepts the driver package's INF and refuses copies with one
deliberate fault each, naming exactly that fault.

usage: test_check_inf.py"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
WIN = os.path.join(HERE, "..", "..", "win")
sys.dont_write_bytecode = True  # keep the source folder clean
sys.path.insert(0, WIN)
import check_inf  # noqa: E402

with open(os.path.join(WIN, "stillscsi.inf"), encoding="utf-8") as f:
    INF = f.read()


def problems(text):
    return check_inf.check(text, check_inf.DEFAULT_HARDWARE_ID, "stillscsi.sys")


class InfCheckTest(unittest.TestCase):
    def test_the_package_inf_is_accepted(self):
        self.assertEqual(problems(INF), [])

    def assert_refused(self, old, new, expected):
        self.assertIn(old, INF, "the fault's anchor is in the INF")
        self.assertEqual(problems(INF.replace(old, new, 1)), [expected])

    def test_each_fault_is_named(self):
        cases = [
            ("Class       = Image", "Class       = Scanner", "[Version] Class is not Image"),
            ("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}", "{4D36E97B-E325-11CE-BFC1-08002BE10318}",
             "[Version] ClassGuid is not the still-image class {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"),
            ("Signature   = \"$WINDOWS NT$\"", "Signature   = \"$WINDOWS 95$\"",
             "[Version] Signature is not \"$WINDOWS NT$\""),
            ("DriverVer   = 12/09/2026,1.0.0.0", "DriverVer   = 2026-12-09", "[Version] DriverVer is not mm/dd/yyyy,version"),
            ("%Maker% = Models, NTamd64", "%Maker% = Models, NTx86", "[Manufacturer] has no models for NTamd64"),
            ("[Models.NTamd64]", "[Models.NTx86]", "no [Models.NTamd64] models section"),
            ("SCSI\\ScannerSTILLSIMCHART_SCANNER___", "SCSI\\ScannerOTHER",
             "[Models.NTamd64] has no model for SCSI\\ScannerSTILLSIMCHART_SCANNER___"),
            ("CopyFiles = StillScsi_Files", "CopyFiles = Other_Files",
             "[StillScsi_Install.NTamd64] does not copy stillscsi.sys"),
            ("DefaultDestDir = 12", "DefaultDestDir = 11",
             "files of [StillScsi_Files] do not go to the drivers folder (12)"),
            ("stillscsi.sys = 1", "stillscsi.sys = 2",
             "stillscsi.sys is on disk 2, which [SourceDisksNames] does not name"),
            ("[StillScsi_Install.NTamd64.Services]", "[StillScsi_Install.Services]",
             "no [StillScsi_Install.NTamd64.Services] section"),
            ("StillScsi, 0x00000002, StillScsi_Service", "StillScsi, 0x00000000, StillScsi_Service",
             "the service is not the device's function driver (flag 0x2)"),
            ("ServiceType   = 1", "ServiceType   = 16", "ServiceType is not 1 (kernel driver)"),
            ("StartType     = 3", "StartType     = 0", "StartType is not 3 (demand start)"),
            ("ServiceBinary = %12%\\stillscsi.sys", "ServiceBinary = %12%\\other.sys",
             "ServiceBinary is not %12%\\stillscsi.sys"),
        ]
        for old, new, expected in cases:
            with self.subTest(expected):
                self.assert_refused(old, new, expected)

    def test_undefined_strings_and_malformed_lines_are_named(self):
        text = INF.replace('DeviceDesc  = "SCSI imaging instrument"\n', "")
        self.assertEqual(len(problems(text)), 1)
        self.assertRegex(problems(text)[0], r"line \d+: %DeviceDesc% is not in \[Strings\]")
        self.assertRegex(problems(INF.replace("[Strings]", "[Strings"))[0], r"malformed section header")
        self.assertRegex(problems("x = 1\n" + INF)[0], r"line 1: text outside any section")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
