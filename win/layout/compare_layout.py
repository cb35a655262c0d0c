"""Compares the kernel declarations of the host build with the platform's.

usage: compare_layout.py [--host-cxx CXX] [--mingw-cxx CXX] [--host-include DIR]
                         [--ddk-include DIR] [--work DIR]

platform/host_ddk.h declares, with the platform's names, the records, integer
types and constants the driver compiles against on the host. This script
reads that header, lists every record, named field, typedef, macro constant
and enumerator it declares, and has layout_table.cpp measure them twice:
compiled by the host compiler against host_ddk.h, and by the mingw-w64 cross
compiler against the kernel headers (both through include/kernel.h, as the
driver includes them). Both compilations only go to assembly, where each
measurement is a comment line, so nothing runs under wine.

What is compared, per name of host_ddk.h:
- records (struct, union, enum): size and alignment;
- every named field, at any depth (a.b.c): offset, size and kind (signed or
  unsigned integer, enum, pointer, record);
- typedefs of integers and pointers: size, alignment and kind;
- object-like macros whose value is an integer constant, and enumerators:
  the value, as a 64-bit signed integer.

Opaque padding: a field whose name ends in an underscore (QueueAndDpc_) is
host_ddk.h's stand-in for platform fields nobody reads. It is not compared
by name; its effect is, since every field after it must still be at the
platform's offset and the record must still have the platform's size. Names
the platform lacks entirely are differences, except the host-only names in
HOST_ONLY below.

Both tables are written to the work folder (host.txt, platform.txt, one
"KEY VALUE" a line). Exit status: 0 when they agree, 1 on any difference
(each printed), 2 when the comparison itself could not be made (a
declaration in host_ddk.h the reader does not understand, a compiler
failure).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))

# Names host_ddk.h declares for the stand-in's own use, which the platform
# headers do not and should not have.
HOST_ONLY = {
    "HostRaisedStatus": "the stand-in's form of a raised exception",
}

KIND_NAMES = {0: "other", 1: "unsigned integer", 2: "signed integer", 3: "enum",
              4: "pointer", 5: "record"}


class ToolError(Exception):
    """The comparison could not be made."""


# ---------------------------------------------------------------- reading host_ddk.h

class Record:
    def __init__(self, keyword, names):
        self.keyword = keyword  # struct, union or enum
        self.names = names      # the typedef names (or the tag of a plain struct)
        self.fields = []        # paths of the named fields, outermost first
        self.padding = []       # paths of the opaque padding fields
        self.enumerators = []


class HostHeader:
    """The declarations of host_ddk.h this comparison covers."""

    def __init__(self):
        self.records = []
        self.typedefs = []      # typedefs of integer and pointer types
        self.type_names = set()  # every type name declared, of any sort
        self.macros = {}        # object-like macro name -> body
        self.function_macros = set()

    def constants(self):
        """The object-like macros whose value is an integer constant, in
        header order."""
        result = []
        for name in self.macros:
            if self._is_constant(name, set()):
                result.append(name)
        return result

    def _is_constant(self, name, seen):
        body = self.macros[name]
        if not body or name in seen:
            return False
        seen = seen | {name}
        numbers = re.compile(r"\b0[xX][0-9a-fA-F]+[uUlL]*\b|\b\d+[uUlL]*\b")
        has_value = bool(numbers.search(body))
        for word in re.findall(r"[A-Za-z_]\w*", numbers.sub(" ", body)):
            if word in self.macros:
                if not self._is_constant(word, seen):
                    return False
                has_value = True
            elif word in self.function_macros or word in self.type_names or word in BASE_TYPES:
                continue
            else:
                return False  # a routine's name, nullptr: not an integer
        return has_value


BASE_TYPES = {"void", "char", "short", "int", "long", "unsigned", "signed", "char16_t", "wchar_t",
              "bool", "size_t", "uintptr_t", "intptr_t", "const", "volatile"}

TOKEN = re.compile(r'"(?:\\.|[^"\\])*"|[A-Za-z_]\w*|0[xX][0-9a-fA-F]+[uUlL]*|\d+[uUlL]*|::|->|\S')
IDENT = re.compile(r"[A-Za-z_]\w*$")


def strip_comments(text):
    def keep_strings(match):
        s = match.group(0)
        return s if s.startswith('"') else re.sub(r"[^\n]", " ", s)
    return re.sub(r'"(?:\\.|[^"\\])*"|//[^\n]*|/\*.*?\*/', keep_strings, text, flags=re.S)


def read_host_header(path):
    with open(path) as f:
        text = strip_comments(f.read())
    text = text.replace("\\\n", " ")
    header = HostHeader()
    code_lines = []
    for line in text.split("\n"):
        stripped = line.strip()
        if not stripped.startswith("#"):
            code_lines.append(line)
            continue
        m = re.match(r"#\s*define\s+([A-Za-z_]\w*)(\(?)(.*)$", stripped)
        if m:
            if m.group(2):
                header.function_macros.add(m.group(1))
            else:
                header.macros[m.group(1)] = m.group(3).strip()
    tokens = TOKEN.findall("\n".join(code_lines))
    _Parser(tokens, header).top_level()
    return header


class _Parser:
    def __init__(self, tokens, header):
        self.t = tokens
        self.h = header

    def fail(self, i, what):
        context = " ".join(self.t[max(0, i - 8):i + 8])
        raise ToolError("host_ddk.h: %s, near: %s" % (what, context))

    def top_level(self):
        i = 0
        while i < len(self.t):
            tok = self.t[i]
            if tok == "typedef":
                i = self.typedef(i + 1)
            elif (tok in ("struct", "union", "enum") and i + 2 < len(self.t)
                  and IDENT.match(self.t[i + 1]) and self.t[i + 2] == "{"):
                record = Record(tok, [self.t[i + 1]])
                i = self.body(i + 3, record, "")
                if self.t[i] != ";":
                    self.fail(i, "a plain %s definition with declarators" % tok)
                self.add(record)
                i += 1
            elif tok == "extern" and self.t[i + 1] == '"C"' and self.t[i + 2] == "{":
                i = self.skip_group(i + 2)
            else:
                i = self.skip_statement(i)

    def add(self, record):
        self.h.records.append(record)
        self.h.type_names.update(record.names)

    def skip_group(self, i):
        """Index after the bracket group opening at i."""
        depth = 0
        while i < len(self.t):
            if self.t[i] in "([{":
                depth += 1
            elif self.t[i] in ")]}":
                depth -= 1
                if depth == 0:
                    return i + 1
            i += 1
        self.fail(i, "unbalanced brackets")

    def skip_statement(self, i):
        """Index after a declaration ending in ';' or a routine body."""
        while i < len(self.t):
            tok = self.t[i]
            if tok == ";":
                return i + 1
            if tok == "{":
                return self.skip_group(i)
            if tok in "([":
                i = self.skip_group(i)
                continue
            i += 1
        return i

    def until_semicolon(self, i):
        """(tokens, index after ';') of a declaration, brackets kept whole."""
        start = i
        while self.t[i] != ";":
            i = self.skip_group(i) if self.t[i] in "([{" else i + 1
        return self.t[start:i], i + 1

    def typedef(self, i):
        if self.t[i] in ("struct", "union", "enum"):
            keyword = self.t[i]
            j = i + 1
            if IDENT.match(self.t[j]) and self.t[j + 1] == "{":
                j += 1
            if self.t[j] == "{":
                record = Record(keyword, [])
                j = self.body(j + 1, record, "")
                declarators, j = self.until_semicolon(j)
                for declarator in split_commas(declarators):
                    if len(declarator) == 1 and IDENT.match(declarator[0]):
                        record.names.append(declarator[0])
                    else:
                        self.h.type_names.add(declarator[-1])  # *PNAME: a pointer alias
                if not record.names:
                    self.fail(j, "a %s typedef without a plain name" % keyword)
                self.add(record)
                return j
        declaration, j = self.until_semicolon(i)
        name = declaration[-1]
        if "(" in declaration:
            # A routine type or routine pointer: named (*PNAME) or NAME(...).
            for k, tok in enumerate(declaration):
                if tok == "(":
                    inner = declaration[k:k + 3]
                    name = inner[2] if inner[1] == "*" else declaration[k - 1]
                    break
            self.h.type_names.add(name)
            return j
        if not IDENT.match(name):
            self.fail(j, "an unexpected typedef")
        self.h.type_names.add(name)
        if declaration[:-1] != ["void"]:
            self.h.typedefs.append(name)
        return j

    def body(self, i, record, prefix):
        """Reads the members of a record up to its '}', adding the fields
        under prefix; returns the index after the '}'."""
        if record.keyword == "enum":
            end = self.skip_group(i - 1)
            for enumerator in split_commas(self.t[i:end - 1]):
                if enumerator:
                    record.enumerators.append(enumerator[0])
            return end
        while self.t[i] != "}":
            tok = self.t[i]
            if tok in ("struct", "union") and (self.t[i + 1] == "{" or self.t[i + 2] == "{"):
                j = i + 1 if self.t[i + 1] == "{" else i + 2
                nested = Record(tok, [])
                j = self.body(j + 1, nested, "")
                declarator, i = self.until_semicolon(j)
                declarator = strip_attributes(declarator)
                if not declarator:
                    inner = prefix  # anonymous: its members are the record's
                elif len(declarator) == 1 and IDENT.match(declarator[0]):
                    inner = prefix + declarator[0] + "."
                    self.add_field(record, prefix + declarator[0])
                else:
                    self.fail(i, "a nested %s declared other than by one name" % tok)
                for path in nested.fields:
                    self.add_field(record, inner + path)
                record.padding.extend(inner + path for path in nested.padding)
                continue
            declaration, i = self.until_semicolon(i)
            declaration = strip_attributes(declaration)
            if ":" in declaration:
                self.fail(i, "a bit field (keep bit fields as an opaque word)")
            if "," in declaration:
                self.fail(i, "several fields in one declaration")
            if "(" in declaration:
                self.fail(i, "a routine pointer field (declare its type with typedef)")
            while declaration and declaration[-1] == "]":
                declaration = declaration[:declaration.index("[")]
            if len(declaration) < 2 or not IDENT.match(declaration[-1]):
                self.fail(i, "a field that is not TYPE NAME")
            self.add_field(record, prefix + declaration[-1])
        return i + 1

    @staticmethod
    def add_field(record, path):
        if path.split(".")[-1].endswith("_"):
            record.padding.append(path)
        else:
            record.fields.append(path)


def strip_attributes(tokens):
    """tokens without their __attribute__((...)) groups."""
    out = []
    i = 0
    while i < len(tokens):
        if tokens[i] == "__attribute__":
            depth = 0
            i += 1
            while True:
                depth += {"(": 1, ")": -1}.get(tokens[i], 0)
                i += 1
                if depth == 0:
                    break
            continue
        out.append(tokens[i])
        i += 1
    return out


def split_commas(tokens):
    """tokens split at the commas outside brackets."""
    pieces, current, depth = [], [], 0
    for tok in tokens:
        if tok in "([{":
            depth += 1
        elif tok in ")]}":
            depth -= 1
        if tok == "," and depth == 0:
            pieces.append(current)
            current = []
        else:
            current.append(tok)
    pieces.append(current)
    return pieces


# ---------------------------------------------------------------- the measurement list

def write_list(header, path):
    """layout_list.inc: one macro of layout_table.cpp per name to measure."""
    lines = ["// Written by compare_layout.py from host_ddk.h; not edited by hand."]
    records = fields = 0
    for record in header.records:
        if any(name in HOST_ONLY for name in record.names):
            continue
        for name in record.names:
            lines.append("RECORD(%s);" % name)
            records += 1
        for field in record.fields:
            lines.append("FIELD(%s, %s);" % (record.names[0], field))
            fields += 1
    for name in header.typedefs:
        if name not in HOST_ONLY:
            lines.append("TYPE(%s);" % name)
    constants = 0
    for name in header.constants():
        if name in HOST_ONLY:
            continue
        lines += ["#ifdef %s" % name, "CONSTANT(%s);" % name, "#else",
                  "CONSTANT_ABSENT(%s);" % name, "#endif"]
        constants += 1
    for record in header.records:
        for name in record.enumerators:
            # A macro of the same name on the platform is compared by value.
            lines += ["#ifdef %s" % name, "CONSTANT(%s);" % name, "#else",
                      "ENUMERATOR(%s, %s);" % (record.names[0], name), "#endif"]
            constants += 1
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return {"records": records, "fields": fields, "types": len(header.typedefs),
            "constants": constants,
            "padding": sum(len(r.padding) for r in header.records)}


# ---------------------------------------------------------------- compiling and reading the tables

ENTRY = re.compile(r"^\s*#@layout (\S+) (.+?)\s*$")


def compile_table(command, out_path):
    result = subprocess.run(command + ["-S", "-o", out_path, os.path.join(HERE, "layout_table.cpp")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise ToolError("compiling the layout table failed:\n  %s\n%s"
                        % (" ".join(command), result.stdout))
    table = {}
    with open(out_path) as f:
        for line in f:
            m = ENTRY.match(line)
            if m:
                key = m.group(2)
                if key in table:
                    raise ToolError("%s: %s measured twice" % (out_path, key))
                table[key] = None if m.group(1) == "absent" else int(m.group(1))
    return table


def find_ddk_include(mingw_cxx):
    """The folder of ntddk.h (its siblings include each other by bare name)."""
    result = subprocess.run([mingw_cxx, "-xc++", "-E", "-v", os.devnull],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for line in result.stdout.splitlines():
        candidate = os.path.join(line.strip(), "ddk")
        if line.startswith(" ") and os.path.isfile(os.path.join(candidate, "ntddk.h")):
            return candidate
    raise ToolError("no ddk/ntddk.h in the include path of %s" % mingw_cxx)


def write_table(table, path):
    with open(path, "w") as f:
        for key, value in table.items():
            f.write("%s %s\n" % (key, "absent" if value is None else value))


FIELD_KEYS = (" offset", " size", " kind")


def describe(key, value):
    if value is None or (key.endswith(FIELD_KEYS) and value == -1):
        return "absent"
    if key.endswith(FIELD_KEYS) and value == -2:
        return "a bit field"
    if key.endswith(" kind"):
        return KIND_NAMES.get(value, str(value))
    if key.endswith(" value") and -2**31 <= value < 0:
        return "%d (0x%08X)" % (value, value & 0xFFFFFFFF)  # a status code
    if key.endswith(" value") and value > 9:
        return "%d (0x%X)" % (value, value)
    return str(value)


def compare(host, platform):
    """The differences, as printable lines; raises ToolError when the host
    side did not see a name of its own header."""
    differences = []
    for key, value in host.items():
        if value is None or (value < 0 and key.endswith(FIELD_KEYS)):
            raise ToolError("the host compiler does not see %s: host_ddk.h was misread" % key)
        theirs = platform.get(key)
        if theirs != value:
            differences.append("%s: host %s, platform %s" % (key, describe(key, value), describe(key, theirs)))
    return differences


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host-cxx", default="g++")
    parser.add_argument("--mingw-cxx", default="x86_64-w64-mingw32-g++")
    parser.add_argument("--host-include", default=os.path.join(ROOT, "platform"),
                        help="folder of the host_ddk.h to check (default: platform/)")
    parser.add_argument("--ddk-include", help="folder of mingw-w64's ntddk.h (default: found via the compiler)")
    parser.add_argument("--work", help="folder for the list, assembly and tables (default: a temporary one)")
    args = parser.parse_args(argv)

    started = time.monotonic()
    work = args.work or tempfile.mkdtemp(prefix="layout_")
    try:
        os.makedirs(work, exist_ok=True)
        for stale in ("host.txt", "platform.txt"):  # tables exist only for a finished comparison
            if os.path.exists(os.path.join(work, stale)):
                os.remove(os.path.join(work, stale))
        header = read_host_header(os.path.join(args.host_include, "host_ddk.h"))
        counts = write_list(header, os.path.join(work, "layout_list.inc"))
        ddk = args.ddk_include or find_ddk_include(args.mingw_cxx)
        include = os.path.join(ROOT, "include")
        host_ddk = os.path.abspath(os.path.join(args.host_include, "host_ddk.h"))
        host = compile_table([args.host_cxx, "-std=c++20", "-DSTILLSCSI_HOST",
                              '-DSTILLSCSI_HOST_DDK="%s"' % host_ddk,
                              "-I", include, "-I", args.host_include, "-I", work],
                             os.path.join(work, "host.s"))
        platform = compile_table([args.mingw_cxx, "-std=gnu++20", "-ffreestanding", "-fno-exceptions",
                                  "-fno-rtti", "-I", include, "-isystem", ddk, "-I", work],
                                 os.path.join(work, "platform.s"))
        write_table(host, os.path.join(work, "host.txt"))
        write_table(platform, os.path.join(work, "platform.txt"))
        differences = compare(host, platform)
    except ToolError as e:
        print("layout: %s" % e)
        return 2
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    for line in differences:
        print("layout: %s" % line)
    elapsed = time.monotonic() - started
    summary = ("%(records)d records, %(fields)d fields (%(padding)d opaque padding fields not compared), "
               "%(types)d types, %(constants)d constants" % counts)
    if differences:
        print("layout: %d of %d measurements differ (%s), %.1f s" % (len(differences), len(host), summary, elapsed))
        return 1
    print("layout: ok: %d measurements agree: %s, %.1f s" % (len(host), summary, elapsed))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
