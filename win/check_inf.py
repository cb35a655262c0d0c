#!/usr/bin/env python3
"""Checks the driver package's INF: well formed, in the still-image class,
locked down against changes by other packages, with a catalog and a valid
DriverVer; a model for the instrument's hardware id on 64-bit Windows; the
image run from the driver store by a demand-started kernel service whose
error-log entries the event viewer can show; and no section that nothing
uses.

    check_inf.py INF [--hardware-id ID] [--image NAME]

Prints "<inf>: ok: ..." and exits 0, or prints each problem and exits 1.
"""
import argparse
import datetime
import re
import sys

STILL_IMAGE_CLASS_GUID = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"
DEFAULT_HARDWARE_ID = "SCSI\\ScannerSTILLSIMCHART_SCANNER___"
SERVICE_KERNEL_DRIVER = 1
SERVICE_DEMAND_START = 3
SPSVCINST_ASSOCSERVICE = 0x2
DIRID_DRIVER_STORE = "13"
# The system's message file for I/O error codes, which are all the codes the
# driver logs; REG_EXPAND_SZ and REG_DWORD as AddReg flags.
IO_MESSAGE_FILE = "%SystemRoot%\\System32\\IoLogMsg.dll"
FLG_ADDREG_TYPE_EXPAND_SZ = 0x00020000
FLG_ADDREG_TYPE_DWORD = 0x00010001
EVENTLOG_ALL_TYPES = 7  # error, warning, information
# Sections the INF machinery reads by name; every other section must be
# named by one of them, directly or through others.
ROOT_SECTIONS = ("version", "manufacturer", "sourcedisksnames", "sourcedisksfiles",
                 "destinationdirs", "strings")
# Directives whose values name sections.
SECTION_DIRECTIVES = ("copyfiles", "addreg", "delreg", "delfiles", "renfiles", "include", "needs",
                      "bitreg", "copyinf", "addproperty", "delproperty", "addinterface")


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


def literal(value):
    """A value as the INF machinery reads it: %% is one percent sign."""
    return value.replace("%%", "%")


def valid_driver_ver(values):
    """DriverVer is mm/dd/yyyy and a version of up to four 16-bit numbers."""
    if len(values) != 2:
        return False
    try:
        datetime.datetime.strptime(values[0], "%m/%d/%Y")
    except ValueError:
        return False
    if not re.fullmatch(r"\d\d/\d\d/\d{4}", values[0]):
        return False
    parts = values[1].split(".")
    return 1 <= len(parts) <= 4 and all(p.isdigit() and int(p) <= 0xFFFF for p in parts)


def named_sections(inf, name):
    """The sections an entry of section `name` names, by the INF's rules:
    models from [Manufacturer], install sections from models and their
    decorated siblings, services and event-log sections from AddService,
    and the sections of directives such as CopyFiles and AddReg."""
    named = []
    for key, values, _ in inf.sections.get(name, []):
        if name == "manufacturer":
            base = values[0]
            named += [base] + [f"{base}.{d}" for d in values[1:]]
        elif key and key.lower() == "addservice":
            named += values[2:4]
        elif key and key.lower() in SECTION_DIRECTIVES:
            named += [v for v in values if not v.startswith("@")]
        elif name in inf.models and key is not None:
            install = values[0]
            named += [install] + [s for s in inf.sections
                                  if s.startswith(install.lower() + ".")]
    return [n.lower() for n in named if n]


def unused_sections(inf):
    inf.models = set()
    for _, values, _ in inf.sections.get("manufacturer", []):
        base = values[0].lower()
        inf.models |= {base} | {f"{base}.{d.lower()}" for d in values[1:]}
    reached, todo = set(), list(ROOT_SECTIONS)
    while todo:
        name = todo.pop()
        if name in reached:
            continue
        reached.add(name)
        todo += named_sections(inf, name)
    # Decorated install sections (.Services, .HW, ...) are reached through
    # their base section.
    return [name for name in inf.sections if name not in reached]


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
        need(valid_driver_ver(inf.value("Version", "DriverVer") or []),
             "[Version] DriverVer is not a valid mm/dd/yyyy date and w.x.y.z version")
        need((inf.value("Version", "PnpLockdown") or [""])[0] == "1", "[Version] PnpLockdown is not 1")
        catalog = inf.value("Version", "CatalogFile")
        need(catalog and catalog[0].lower().endswith(".cat"), "[Version] names no CatalogFile")

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
            # The image is copied into the driver store and run from there.
            copied = False
            for copy in inf.value(install_section, "CopyFiles") or []:
                if copy.startswith("@"):
                    copied |= copy[1:].lower() == image.lower()
                else:
                    files = inf.section(copy) or []
                    copied |= any(values[0].lower() == image.lower() for key, values, _ in files if key is None)
                    destination = inf.value("DestinationDirs", copy) or inf.value("DestinationDirs", "DefaultDestDir")
                    need(destination and destination[0] == DIRID_DRIVER_STORE,
                         f"files of [{copy}] do not go to the driver store (13)")
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
                        need(binary.lower() == f"%{DIRID_DRIVER_STORE}%\\{image}".lower(),
                             f"ServiceBinary is not %{DIRID_DRIVER_STORE}%\\{image}")
                    event_log = values[3] if len(values) > 3 else ""
                    if need(event_log, "the service has no event-log install section"):
                        check_event_log(inf, event_log, image, need)

    # Every %string% is defined, except directory ids; %% is a percent sign.
    strings = {key.lower() for key, _, _ in inf.sections.get("strings", []) if key}
    for name, entries in inf.sections.items():
        if name == "strings":
            continue
        for key, values, number in entries:
            text = " ".join([key or ""] + values).replace("%%", "")
            for token in re.findall(r"%([^%]+)%", text):
                need(token.isdigit() or token.lower() in strings, f"line {number}: %{token}% is not in [Strings]")

    for name in unused_sections(inf):
        problems.append(f"section [{name}] is not used")
    return problems


def check_event_log(inf, section, image, need):
    """The event-log install section registers the driver as an event
    source whose messages come from the system's I/O message file and the
    image, for every event type."""
    if not need(inf.section(section) is not None, f"no event-log install section [{section}]"):
        return
    values = {}
    for reg in inf.value(section, "AddReg") or []:
        for key, entry, _ in inf.sections.get(reg.lower(), []):
            fields = ([key] if key is not None else []) + entry
            if len(fields) >= 5 and fields[0].upper() == "HKR" and fields[1] == "":
                values[fields[2].lower()] = (as_number(fields[3]), ",".join(fields[4:]))
    flags, files = values.get("eventmessagefile", (None, ""))
    named = [f.strip().lower() for f in literal(files).split(";")]
    need(flags == FLG_ADDREG_TYPE_EXPAND_SZ and IO_MESSAGE_FILE.lower() in named
         and f"%{DIRID_DRIVER_STORE}%\\{image}".lower() in named,
         f"[{section}] EventMessageFile does not name {IO_MESSAGE_FILE} and %{DIRID_DRIVER_STORE}%\\{image}"
         " as an expandable string")
    need(values.get("typessupported") == (FLG_ADDREG_TYPE_DWORD, str(EVENTLOG_ALL_TYPES)),
         f"[{section}] TypesSupported is not {EVENTLOG_ALL_TYPES} as a number")


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
    print(f"{args.inf}: ok: still-image class, {args.hardware_id} on NTamd64, {args.image} "
          "from the driver store as a demand-started kernel service with an event-log source")
    return 0


if __name__ == "__main__":
    sys.exit(main())
