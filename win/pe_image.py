"""A small reader (and patcher) of PE32+ images, enough to check a kernel
driver image: headers, sections, imports, the COFF symbol table, unwind
data and the image checksum. Standard library only."""

import re
import struct

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
    def __init__(self, data):
        self.data = bytearray(data)
        self._parse_headers()
        self.sections = self._parse_sections()
        self.symbols = self._parse_symbols()

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def save(self, path):
        with open(path, "wb") as f:
            f.write(self.data)

    # Headers -----------------------------------------------------------

    def _parse_headers(self):
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise ImageError("no MZ header")
        self.pe_offset = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise ImageError("no PE signature")
        coff = self.pe_offset + 4
        (self.machine, self.section_count, self.timestamp, self.symbol_table_offset, self.symbol_count,
         self.optional_header_size, self.file_characteristics) = struct.unpack_from("<HHIIIHH", d, coff)
        self.optional_header_offset = coff + 20
        oh = self.optional_header_offset
        self.magic = struct.unpack_from("<H", d, oh)[0]
        if self.magic != PE32_PLUS_MAGIC:
            # The remaining fields are laid out differently; report what we can.
            self.entry_rva = struct.unpack_from("<I", d, oh + 16)[0]
            self.image_base = 0
            self.subsystem = None
            self.directories = []
            self.checksum_offset = oh + 64
            return
        self.entry_rva = struct.unpack_from("<I", d, oh + 16)[0]
        self.image_base = struct.unpack_from("<Q", d, oh + 24)[0]
        self.section_alignment_offset = oh + 32
        self.section_alignment = struct.unpack_from("<I", d, self.section_alignment_offset)[0]
        self.checksum_offset = oh + 64
        self.checksum = struct.unpack_from("<I", d, self.checksum_offset)[0]
        self.subsystem_offset = oh + 68
        self.subsystem = struct.unpack_from("<H", d, self.subsystem_offset)[0]
        self.dll_characteristics = struct.unpack_from("<H", d, oh + 70)[0]
        directory_count = struct.unpack_from("<I", d, oh + 108)[0]
        self.directories = [struct.unpack_from("<II", d, oh + 112 + 8 * i) for i in range(directory_count)]

    def directory(self, index):
        if index < len(self.directories):
            return self.directories[index]
        return (0, 0)

    def _parse_sections(self):
        sections = []
        table = self.optional_header_offset + self.optional_header_size
        for i in range(self.section_count):
            off = table + 40 * i
            raw_name = bytes(self.data[off:off + 8]).rstrip(b"\0")
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", self.data, off + 8)
            characteristics = struct.unpack_from("<I", self.data, off + 36)[0]
            name = raw_name.decode("latin-1")
            if name.startswith("/") and self.symbol_table_offset:
                # Long section names live in the string table.
                name = self._string_at(int(name[1:]))
            sections.append(Section(name, virtual_size, rva, raw_size, raw_offset, characteristics, off))
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

    def cstring(self, rva):
        off = self.offset_of(rva)
        end = self.data.index(b"\0", off)
        return bytes(self.data[off:end]).decode("latin-1")

    # Imports -----------------------------------------------------------

    def imports(self):
        """Returns [(dll, name_or_None, iat_rva)]; name is None for an ordinal import."""
        result = []
        rva, size = self.directory(DIRECTORY_IMPORT)
        if rva == 0 or size == 0:
            return result
        while True:
            lookup, _, _, name_rva, iat = struct.unpack("<IIIII", self.read(rva, 20))
            if lookup == 0 and name_rva == 0 and iat == 0:
                break
            dll = self.cstring(name_rva)
            table = lookup or iat
            index = 0
            while True:
                entry = self.u64(table + 8 * index)
                if entry == 0:
                    break
                if entry & (1 << 63):
                    result.append((dll, None, iat + 8 * index))
                else:
                    result.append((dll, self.cstring((entry & 0x7FFFFFFF) + 2), iat + 8 * index))
                index += 1
            rva += 20
        return result

    # Symbols -----------------------------------------------------------

    def _string_at(self, offset):
        strings = self.symbol_table_offset + COFF_SYMBOL_SIZE * self.symbol_count
        end = self.data.index(b"\0", strings + offset)
        return bytes(self.data[strings + offset:end]).decode("latin-1")

    def _parse_symbols(self):
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

    def runtime_function(self, rva):
        """The .pdata entry (begin, end, unwind_rva) covering rva, or None."""
        table, size = self.directory(DIRECTORY_EXCEPTION)
        for i in range(size // 12):
            begin, end, unwind = struct.unpack("<III", self.read(table + 12 * i, 12))
            if begin <= rva < end:
                return begin, end, unwind
        return None

    def unwind_info(self, unwind_rva):
        """(flags, handler_rva or None, handler_data_rva or None) of an UNWIND_INFO."""
        version_flags, _, code_count, _ = self.read(unwind_rva, 4)
        flags = version_flags >> 3
        after_codes = unwind_rva + 4 + 2 * ((code_count + 1) & ~1)
        if flags & (UNW_FLAG_EHANDLER | 0x2):
            return flags, self.u32(after_codes), after_codes + 4
        return flags, None, None

    # Checksum ----------------------------------------------------------

    def compute_checksum(self):
        """The image checksum as the loader computes it: a 16-bit folded sum of
        the file with the checksum field taken as 0, plus the file length."""
        data = bytes(self.data)
        if len(data) % 2:
            data += b"\0"
        total = 0
        skip = self.checksum_offset // 2
        for index, (word,) in enumerate(struct.iter_unpack("<H", data)):
            if index == skip or index == skip + 1:
                continue
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def store_checksum(self):
        self.checksum = self.compute_checksum()
        struct.pack_into("<I", self.data, self.checksum_offset, self.checksum)

    # Patching ----------------------------------------------------------

    def set_section_characteristics(self, section, characteristics):
        section.characteristics = characteristics
        struct.pack_into("<I", self.data, section.header_offset + 36, characteristics)

    def set_section_alignment(self, alignment):
        self.section_alignment = alignment
        struct.pack_into("<I", self.data, self.section_alignment_offset, alignment)

    def set_subsystem(self, subsystem):
        self.subsystem = subsystem
        struct.pack_into("<H", self.data, self.subsystem_offset, subsystem)

    def set_entry_rva(self, rva):
        self.entry_rva = rva
        struct.pack_into("<I", self.data, self.optional_header_offset + 16, rva)


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
