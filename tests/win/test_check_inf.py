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
        """Refused for the expected fault alone; sections the change left
        unreached are reported too, and are left out here."""
        self.assertIn(old, INF, "the fault's anchor is in the INF")
        found = [p for p in problems(INF.replace(old, new, 1)) if not p.endswith("is not used")]
        self.assertEqual(found, [expected])

    def test_each_fault_is_named(self):
        cases = [
            ("Class       = Image", "Class       = Scanner", "[Version] Class is not Image"),
            ("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}", "{4D36E97B-E325-11CE-BFC1-08002BE10318}",
             "[Version] ClassGuid is not the still-image class {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"),
            ("Signature   = \"$WINDOWS NT$\"", "Signature   = \"$WINDOWS 95$\"",
             "[Version] Signature is not \"$WINDOWS NT$\""),
            ("DriverVer   = 12/10/2026,1.0.0.0", "DriverVer   = 2026-12-10",
             "[Version] DriverVer is not a valid mm/dd/yyyy date and w.x.y.z version"),
            ("DriverVer   = 12/10/2026,1.0.0.0", "DriverVer   = 02/30/2026,1.0.0.0",
             "[Version] DriverVer is not a valid mm/dd/yyyy date and w.x.y.z version"),
            ("DriverVer   = 12/10/2026,1.0.0.0", "DriverVer   = 12/10/2026,1.0.65536.0",
             "[Version] DriverVer is not a valid mm/dd/yyyy date and w.x.y.z version"),
            ("DriverVer   = 12/10/2026,1.0.0.0", "DriverVer   = 12/10/2026",
             "[Version] DriverVer is not a valid mm/dd/yyyy date and w.x.y.z version"),
            ("PnpLockdown = 1", "PnpLockdown = 0", "[Version] PnpLockdown is not 1"),
            ("CatalogFile = stillscsi.cat\n", "", "[Version] names no CatalogFile"),
            ("%Maker% = Models, NTamd64", "%Maker% = Models, NTx86", "[Manufacturer] has no models for NTamd64"),
            ("[Models.NTamd64]", "[Models.NTx86]", "no [Models.NTamd64] models section"),
            ("SCSI\\ScannerSTILLSIMCHART_SCANNER___", "SCSI\\ScannerOTHER",
             "[Models.NTamd64] has no model for SCSI\\ScannerSTILLSIMCHART_SCANNER___"),
            ("CopyFiles = StillScsi_Files", "CopyFiles = Other_Files",
             "[StillScsi_Install.NTamd64] does not copy stillscsi.sys"),
            ("DefaultDestDir = 13", "DefaultDestDir = 12",
             "files of [StillScsi_Files] do not go to the driver store (13)"),
            ("stillscsi.sys = 1", "stillscsi.sys = 2",
             "stillscsi.sys is on disk 2, which [SourceDisksNames] does not name"),
            ("[StillScsi_Install.NTamd64.Services]", "[StillScsi_Install.Services]",
             "no [StillScsi_Install.NTamd64.Services] section"),
            ("StillScsi, 0x00000002, StillScsi_Service,", "StillScsi, 0x00000000, StillScsi_Service,",
             "the service is not the device's function driver (flag 0x2)"),
            ("ServiceType   = 1", "ServiceType   = 16", "ServiceType is not 1 (kernel driver)"),
            ("StartType     = 3", "StartType     = 0", "StartType is not 3 (demand start)"),
            ("ServiceBinary = %13%\\stillscsi.sys", "ServiceBinary = %12%\\stillscsi.sys",
             "ServiceBinary is not %13%\\stillscsi.sys"),
            ("IoLogMsg.dll;%13%\\stillscsi.sys", "IoLogMsg.dll",
             "[StillScsi_EventLog] EventMessageFile does not name %SystemRoot%\\System32\\IoLogMsg.dll and "
             "%13%\\stillscsi.sys as an expandable string"),
            ("HKR,,EventMessageFile,0x00020000,", "HKR,,EventMessageFile,0x00000000,",
             "[StillScsi_EventLog] EventMessageFile does not name %SystemRoot%\\System32\\IoLogMsg.dll and "
             "%13%\\stillscsi.sys as an expandable string"),
            ("HKR,,TypesSupported,0x00010001,7", "HKR,,TypesSupported,0x00010001,1",
             "[StillScsi_EventLog] TypesSupported is not 7 as a number"),
        ]
        for old, new, expected in cases:
            with self.subTest(expected):
                self.assert_refused(old, new, expected)

    def test_the_event_log_section_must_be_named_and_exist(self):
        self.assertEqual(problems(INF.replace(", StillScsi_EventLog\n", "\n", 1)),
                         ["the service has no event-log install section",
                          "section [stillscsi_eventlog] is not used",
                          "section [stillscsi_eventlog_addreg] is not used"])
        self.assertEqual(problems(INF.replace("[StillScsi_EventLog]\nAddReg = StillScsi_EventLog_AddReg\n", "", 1)),
                         ["no event-log install section [StillScsi_EventLog]",
                          "section [stillscsi_eventlog_addreg] is not used"])

    def test_a_section_nothing_names_is_reported(self):
        self.assertEqual(problems(INF + "\n[Leftover_AddReg]\nHKR,,Unused,0x00010001,1\n"),
                         ["section [leftover_addreg] is not used"])
        # A section named only by a decorated install section is used.
        self.assertEqual(problems(INF.replace("[StillScsi_Files]", "[StillScsi_Install.NTamd64.HW]\n"
                                              "AddReg = Extra_AddReg\n\n[Extra_AddReg]\nHKR,,X,0x00010001,1\n\n"
                                              "[StillScsi_Files]")), [])

    def test_a_doubled_percent_is_a_literal_percent_sign(self):
        self.assertIn("%%SystemRoot%%", INF)
        # The same text with single signs names a string that is not defined.
        found = problems(INF.replace("%%SystemRoot%%", "%SystemRoot%"))
        self.assertEqual(len(found), 1, found)
        self.assertRegex(found[0], r"line \d+: %SystemRoot% is not in \[Strings\]")

    def test_undefined_strings_and_malformed_lines_are_named(self):
        text = INF.replace('DeviceDesc  = "SCSI imaging instrument"\n', "")
        self.assertEqual(len(problems(text)), 1)
        self.assertRegex(problems(text)[0], r"line \d+: %DeviceDesc% is not in \[Strings\]")
        self.assertRegex(problems(INF.replace("[Strings]", "[Strings"))[0], r"malformed section header")
        self.assertRegex(problems("x = 1\n" + INF)[0], r"line 1: text outside any section")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
