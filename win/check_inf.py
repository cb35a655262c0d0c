#!/usr/bin/env python3
"""Checks the driver package's INF: well formed, in the still-image class, a
model for the instrument's hardware id on 64-bit Windows, the image copied to
the drivers folder, and a demand-started kernel service that runs it.

    check_inf.py INF [--hardware-id ID] [--image NAME]

Prints "<inf>: ok: ..." and exits 0, or prints each problem and exits 1.
"""
import argparse
import re
import sys

STILL_IMAGE_CLASS_GUID = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"
DEFAULT_HARDWARE_ID = "SCSI\\ScannerSTILLSIMCHART_SCANNER___"
SERVICE_KERNEL_DRIVER = 1
SERVICE_DEMAND_START = 3
SPSVCINST_ASSOCSERVICE = 0x2
DIRID_DRIVERS = "12"


class Inf:
    """Sections by lower-cased name; each a list of (key or None, [values], line)."""

    def __init__(self, text):
        self.sections = {}
        self.problems = []
        section = None
        for number, raw in enumerate(text.splitlines(), 1):
            line = strip_comment(raw).strip()
            if not line:
                continue
            if line.startswith("["):
                if not line.endswith("]") or len(line) < 3:
                    self.problems.append(f"line {number}: malformed section header {raw.strip()!r}")
                    section = None
                    continue
                name = line[1:-1].strip().lower()
                if name in self.sections:
                    self.problems.append(f"line {number}: section [{line[1:-1].strip()}] appears twice")
                section = self.sections.setdefault(name, [])
                continue
            if section is None:
                self.problems.append(f"line {number}: text outside any section")
                continue
            if line.count('"') % 2:
                self.problems.append(f"line {number}: unbalanced quotes")
            key, values = None, line
            if "=" in line:
                key, values = line.split("=", 1)
                key = key.strip()
            section.append((key, [v.strip().strip('"') for v in values.split(",")], number))

    def section(self, name):
        return self.sections.get(name.lower())

    def value(self, section, key):
        for entry_key, values, _ in self.sections.get(section.lower(), []):
            if entry_key is not None and entry_key.lower() == key.lower():
                return values
        return None


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def as_number(text):
    try:
        return int(text, 0)
    except ValueError:
        return None


def check(text, hardware_id, image):
    inf = Inf(text)
    problems = list(inf.problems)

    def need(condition, message):
        if not condition:
            problems.append(message)
        return condition

    # [Version]
    if need(inf.section("Version") is not None, "no [Version] section"):
        signature = inf.value("Version", "Signature")
        need(signature and signature[0].lower() in ("$windows nt$", "$chicago$"),
             "[Version] Signature is not \"$WINDOWS NT$\"")
        klass = inf.value("Version", "Class")
        need(klass and klass[0].lower() == "image", "[Version] Class is not Image")
        guid = inf.value("Version", "ClassGuid")
        need(guid and guid[0].upper() == STILL_IMAGE_CLASS_GUID,
             f"[Version] ClassGuid is not the still-image class {STILL_IMAGE_CLASS_GUID}")
        need(inf.value("Version", "Provider") is not None, "[Version] has no Provider")
        driver_ver = inf.value("Version", "DriverVer")
        need(driver_ver and re.fullmatch(r"\d\d/\d\d/\d{4}", driver_ver[0]) and len(driver_ver) == 2,
             "[Version] DriverVer is not mm/dd/yyyy,version")

    # [Manufacturer] -> the models for 64-bit Windows -> the instrument's id
    install = None
    manufacturer = inf.section("Manufacturer")
    if need(manufacturer, "no [Manufacturer] section"):
        models = [(values[0], [d.lower() for d in values[1:]]) for _, values, _ in manufacturer]
        amd64 = [name for name, decorations in models if "ntamd64" in decorations]
        if need(amd64, "[Manufacturer] has no models for NTamd64"):
            section = inf.section(f"{amd64[0]}.NTamd64")
            if need(section is not None, f"no [{amd64[0]}.NTamd64] models section"):
                for _, values, _ in section:
                    if len(values) >= 2 and hardware_id.lower() in (v.lower() for v in values[1:]):
                        install = values[0]
                need(install, f"[{amd64[0]}.NTamd64] has no model for {hardware_id}")

    if install:
        decorated = f"{install}.NTamd64"
        install_section = decorated if inf.section(decorated) is not None else install
        if need(inf.section(install_section) is not None, f"no install section [{decorated}]"):
            # The image is copied into the drivers folder.
            copied = False
            for copy in inf.value(install_section, "CopyFiles") or []:
                if copy.startswith("@"):
                    copied |= copy[1:].lower() == image.lower()
                else:
                    files = inf.section(copy) or []
                    copied |= any(values[0].lower() == image.lower() for key, values, _ in files if key is None)
                    destination = inf.value("DestinationDirs", copy) or inf.value("DestinationDirs", "DefaultDestDir")
                    need(destination and destination[0] == DIRID_DRIVERS,
                         f"files of [{copy}] do not go to the drivers folder (12)")
            need(copied, f"[{install_section}] does not copy {image}")
            disk = inf.value("SourceDisksFiles", image)
            if need(disk, f"[SourceDisksFiles] does not name {image}"):
                need(inf.value("SourceDisksNames", disk[0]) is not None,
                     f"{image} is on disk {disk[0]}, which [SourceDisksNames] does not name")

            # The service: a kernel driver, started on demand, running the image.
            services = inf.section(f"{install_section}.Services")
            if need(services is not None, f"no [{install_section}.Services] section"):
                added = [values for key, values, _ in services if key and key.lower() == "addservice"]
                if need(added, f"[{install_section}.Services] adds no service"):
                    values = added[0]
                    flags = as_number(values[1]) if len(values) > 1 else None
                    need(flags is not None and flags & SPSVCINST_ASSOCSERVICE,
                         "the service is not the device's function driver (flag 0x2)")
                    service = values[2] if len(values) > 2 else ""
                    if need(inf.section(service) is not None, f"no service section [{service}]"):
                        need(as_number((inf.value(service, "ServiceType") or ["?"])[0]) == SERVICE_KERNEL_DRIVER,
                             "ServiceType is not 1 (kernel driver)")
                        need(as_number((inf.value(service, "StartType") or ["?"])[0]) == SERVICE_DEMAND_START,
                             "StartType is not 3 (demand start)")
                        need(inf.value(service, "ErrorControl") is not None, "the service has no ErrorControl")
                        binary = (inf.value(service, "ServiceBinary") or [""])[0]
                        need(binary.lower() == f"%{DIRID_DRIVERS}%\\{image}".lower(),
                             f"ServiceBinary is not %12%\\{image}")

    # Every %string% is defined, except directory ids.
    strings = {key.lower() for key, _, _ in inf.sections.get("strings", []) if key}
    for name, entries in inf.sections.items():
        if name == "strings":
            continue
        for key, values, number in entries:
            for token in re.findall(r"%([^%]+)%", " ".join([key or ""] + values)):
                need(token.isdigit() or token.lower() in strings, f"line {number}: %{token}% is not in [Strings]")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("inf")
    parser.add_argument("--hardware-id", default=DEFAULT_HARDWARE_ID)
    parser.add_argument("--image", default="stillscsi.sys")
    args = parser.parse_args()
    with open(args.inf, encoding="utf-8") as f:
        problems = check(f.read(), args.hardware_id, args.image)
    for problem in problems:
        print(f"{args.inf}: {problem}")
    if problems:
        return 1
    print(f"{args.inf}: ok: still-image class, {args.hardware_id} on NTamd64, {args.image} as a demand-started kernel service")
    return 0


if __name__ == "__main__":
    sys.exit(main())
