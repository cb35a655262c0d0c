"""A reader (and patcher) of PE32+ images, enough to check a kernel driver
image. Headers, sections, imports, the exception directory with its unwind
data and the image checksum come from pefile; the COFF symbol table, which
pefile does not read, and the long section names kept in its string table
are read here."""

import os
import re
import struct
import sys

try:
    import pefile
except ImportError:  # pragma: no cover - depends on the machine
    # Debian's python3-pefile serves the system interpreter; a python3 that
    # comes first on PATH (a version manager's) may not have it. Run the
    # same program again under the system interpreter, once.
    SYSTEM_PYTHON = "/usr/bin/python3"
    if (os.access(SYSTEM_PYTHON, os.X_OK) and not os.environ.get("STILLSCSI_PE_REEXEC")
            and os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON)
            and sys.argv and sys.argv[0] and os.path.exists(sys.argv[0])):
        os.environ["STILLSCSI_PE_REEXEC"] = "1"
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    raise SystemExit("%s: needs the pefile module (Debian: python3-pefile)" % sys.argv[0])

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_NATIVE = 1

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000

DIRECTORY_IMPORT = 1
DIRECTORY_EXCEPTION = 3
DIRECTORY_BASERELOC = 5
DIRECTORY_TLS = 9
DIRECTORY_IAT = 12
DIRECTORY_DELAY_IMPORT = 13

UNW_FLAG_EHANDLER = 0x1
UNW_FLAG_CHAININFO = 0x4

COFF_SYMBOL_SIZE = 18
COFF_FUNCTION_TYPE = 0x20


class ImageError(Exception):
    """The file is not a PE image this reader understands."""


class Section:
    def __init__(self, name, virtual_size, rva, raw_size, raw_offset, characteristics, header_offset):
        self.name = name
        self.virtual_size = virtual_size
        self.rva = rva
        self.raw_size = raw_size
        self.raw_offset = raw_offset
        self.characteristics = characteristics
        self.header_offset = header_offset  # file offset of this section's header

    def contains(self, rva):
        return self.rva <= rva < self.rva + max(self.virtual_size, self.raw_size)

    @property
    def executable(self):
        return bool(self.characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE))

    @property
    def writable(self):
        return bool(self.characteristics & IMAGE_SCN_MEM_WRITE)

    @property
    def discardable(self):
        return bool(self.characteristics & IMAGE_SCN_MEM_DISCARDABLE)


class Symbol:
    def __init__(self, name, section, rva, is_function):
        self.name = name
        self.section = section  # Section or None
        self.rva = rva
        self.is_function = is_function


class Image:
    """An image held as bytes: patches change `data`, and everything read
    from it is read again by `reload`."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.reload()

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def save(self, path):
        with open(path, "wb") as f:
            f.write(self.data)

    def reload(self):
        try:
            self.pe = pefile.PE(data=bytes(self.data), fast_load=True)
        except pefile.PEFormatError as e:
            raise ImageError(str(e.value) if hasattr(e, "value") else str(e))
        self._read_headers()
        self.sections = self._read_sections()
        self.symbols = self._read_symbols()
        self._imports = None
        self._functions = None

    # Headers -----------------------------------------------------------

    def _read_headers(self):
        fh, oh = self.pe.FILE_HEADER, self.pe.OPTIONAL_HEADER
        self.pe_offset = self.pe.DOS_HEADER.e_lfanew
        self.machine = fh.Machine
        self.section_count = fh.NumberOfSections
        self.timestamp = fh.TimeDateStamp
        self.symbol_table_offset = fh.PointerToSymbolTable
        self.symbol_count = fh.NumberOfSymbols
        self.file_characteristics = fh.Characteristics
        self.magic = oh.Magic
        self.entry_rva = oh.AddressOfEntryPoint
        self.image_base = oh.ImageBase
        self.section_alignment = oh.SectionAlignment
        self.checksum = oh.CheckSum
        self.checksum_offset = oh.get_field_absolute_offset("CheckSum")
        self.subsystem = oh.Subsystem
        self.dll_characteristics = oh.DllCharacteristics
        self.directories = [(d.VirtualAddress, d.Size) for d in oh.DATA_DIRECTORY]

    def directory(self, index):
        if index < len(self.directories):
            return self.directories[index]
        return (0, 0)

    def _read_sections(self):
        sections = []
        for s in self.pe.sections:
            name = s.Name.rstrip(b"\0").decode("latin-1")
            if name.startswith("/") and self.symbol_table_offset:
                # Long section names live in the string table.
                name = self._string_at(int(name[1:]))
            sections.append(Section(name, s.Misc_VirtualSize, s.VirtualAddress, s.SizeOfRawData,
                                    s.PointerToRawData, s.Characteristics, s.get_file_offset()))
        return sections

    def section_named(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def section_of(self, rva):
        for s in self.sections:
            if s.contains(rva):
                return s
        return None

    # Memory access by RVA ----------------------------------------------

    def offset_of(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s.rva >= s.raw_size:
            raise ImageError("RVA 0x%x has no file data" % rva)
        return s.raw_offset + (rva - s.rva)

    def read(self, rva, size):
        off = self.offset_of(rva)
        return bytes(self.data[off:off + size])

    def u32(self, rva):
        return struct.unpack("<I", self.read(rva, 4))[0]

    def u64(self, rva):
        return struct.unpack("<Q", self.read(rva, 8))[0]

    # Imports -----------------------------------------------------------

    def imports(self):
        """Returns [(dll, name_or_None, iat_rva)]; name is None for an ordinal import."""
        if self._imports is None:
            self.pe.parse_data_directories(
                directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
            self._imports = []
            for module in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
                dll = module.dll.decode("latin-1")
                for entry in module.imports:
                    name = None if entry.import_by_ordinal else entry.name.decode("latin-1")
                    self._imports.append((dll, name, entry.address - self.image_base))
        return self._imports

    # Symbols -----------------------------------------------------------

    def _string_at(self, offset):
        strings = self.symbol_table_offset + COFF_SYMBOL_SIZE * self.symbol_count
        end = self.data.index(b"\0", strings + offset)
        return bytes(self.data[strings + offset:end]).decode("latin-1")

    def _read_symbols(self):
        symbols = []
        if not self.symbol_table_offset or not self.symbol_count:
            return symbols
        i = 0
        while i < self.symbol_count:
            off = self.symbol_table_offset + COFF_SYMBOL_SIZE * i
            raw = bytes(self.data[off:off + COFF_SYMBOL_SIZE])
            if raw[:4] == b"\0\0\0\0":
                name = self._string_at(struct.unpack_from("<I", raw, 4)[0])
            else:
                name = raw[:8].rstrip(b"\0").decode("latin-1")
            value, section_number, symbol_type, _, aux_count = struct.unpack_from("<IhHBB", raw, 8)
            if 1 <= section_number <= len(self.sections):
                section = self.sections[section_number - 1]
                symbols.append(Symbol(name, section, section.rva + value, symbol_type == COFF_FUNCTION_TYPE))
            i += 1 + aux_count
        return symbols

    def symbol(self, name):
        for s in self.symbols:
            if s.name == name:
                return s
        return None

    # Unwind data -------------------------------------------------------

    def _runtime_functions(self):
        if self._functions is None:
            self.pe.parse_data_directories(
                directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]])
            self._functions = getattr(self.pe, "DIRECTORY_ENTRY_EXCEPTION", [])
        return self._functions

    def runtime_function(self, rva):
        """The .pdata entry (begin, end, unwind_rva) covering rva, or None."""
        for entry in self._runtime_functions():
            f = entry.struct
            if f.BeginAddress <= rva < f.EndAddress:
                return f.BeginAddress, f.EndAddress, f.UnwindData
        return None

    def unwind_info(self, unwind_rva):
        """(flags, handler_rva or None, handler_data_rva or None) of an UNWIND_INFO."""
        for entry in self._runtime_functions():
            info = entry.unwindinfo
            if entry.struct.UnwindData == unwind_rva and info is not None:
                handler = getattr(info, "ExceptionHandler", None)
                if handler is None:
                    return info.Flags, None, None
                # The handler's data follows the handler's address, the
                # last field of the record.
                return info.Flags, handler, unwind_rva + info.sizeof()
        raise ImageError("no unwind data at RVA 0x%x" % unwind_rva)

    # Checksum ----------------------------------------------------------

    def compute_checksum(self):
        """The image checksum as the loader computes it, over the bytes as
        they are now."""
        return pefile.PE(data=bytes(self.data), fast_load=True).generate_checksum()

    def store_checksum(self):
        self.checksum = self.compute_checksum()
        struct.pack_into("<I", self.data, self.checksum_offset, self.checksum)

    # Patching ----------------------------------------------------------

    def _patch(self, structure, field, fmt, value):
        struct.pack_into(fmt, self.data, structure.get_field_absolute_offset(field), value)
        self.reload()

    def set_section_characteristics(self, section, characteristics):
        struct.pack_into("<I", self.data, section.header_offset + 36, characteristics)
        self.reload()
        section.characteristics = characteristics

    def set_section_alignment(self, alignment):
        self._patch(self.pe.OPTIONAL_HEADER, "SectionAlignment", "<I", alignment)

    def set_subsystem(self, subsystem):
        self._patch(self.pe.OPTIONAL_HEADER, "Subsystem", "<H", subsystem)

    def set_entry_rva(self, rva):
        self._patch(self.pe.OPTIONAL_HEADER, "AddressOfEntryPoint", "<I", rva)


_ITANIUM_NAME = re.compile(r"_ZL?(\d+)")


def routine_name(symbol_name):
    """The source name of a free routine: extern "C" names as they are,
    Itanium-mangled free functions (_Z<len><name>..., _ZL for internal
    linkage) by their identifier, compiler clones (name.isra.0) by their
    origin. Other names (nested, operators) are returned unchanged."""
    m = _ITANIUM_NAME.match(symbol_name)
    if m:
        length = int(m.group(1))
        start = m.end()
        return symbol_name[start:start + length]
    return symbol_name.split(".", 1)[0] if not symbol_name.startswith(".") else symbol_name
