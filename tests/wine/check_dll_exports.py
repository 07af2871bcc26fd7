#!/usr/bin/env python3
"""Reads a Windows DLL's export and import directories.

x86 (32-bit): the DLL must export exactly the 21 decorated stdcall names of
the card interface, ordinals 1 to 21 in the byte order of the names.
x64 (64-bit): the 21 plain names with ordinals 1 to 21 (the same order), and
the 21 decorated names as aliases, ordinals 22 to 42, each leading to the same
function as its plain name.
Both: every export by name, nothing else, no forwarders, no two names on one
function but an alias and its plain name, and imports from system DLLs only.
Prints both tables. Exit status 0 when all holds, 1 otherwise.
With --program, the file is Wexmon.exe instead: an image of that width for
the Windows GUI subsystem that imports from system DLLs only.

    check_dll_exports.py [--program] x86|x64 FILE
"""
import struct
import sys

DECORATED = [
    "_ADResult@4", "_ADResultRecent@4", "_ChannelFrq@8", "_ConfigInfo@32",
    "_GetADPropStrSize@0", "_GetADPropString@4", "_GetLastADError@0",
    "_GetSnapshot@12", "_IOCtl@16", "_Initial@16", "_QueryBuf@0",
    "_RegisterNotify@20", "_StartIntr@28", "_StartSnapshot@32", "_StopIntr@0",
    "_inport@4", "_inportb@4", "_inportdw@4", "_outport@8", "_outportb@8",
    "_outportdw@8",
]
PLAIN = [name[1:name.index("@")] for name in DECORATED]
# machine field, optional-header magic, names by ordinal from 1, {alias: name}
ARCHES = {
    "x86": (0x14C, 0x10B, DECORATED, {}),
    "x64": (0x8664, 0x20B, PLAIN + DECORATED, dict(zip(DECORATED, PLAIN))),
}
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "winmm.dll", "msvcrt.dll", "advapi32.dll"}
PROGRAM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"}
GUI_SUBSYSTEM = 2


class PeError(Exception):
    pass


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe_offset + 4
        machine, sections, _, _, _, optional_size, characteristics = struct.unpack_from(
            "<HHIIIHH", data, coff)
        self.machine = machine
        self.is_dll = bool(characteristics & 0x2000)
        optional = coff + 20
        (magic,) = struct.unpack_from("<H", data, optional)
        if magic not in (0x10B, 0x20B):
            raise PeError("neither PE32 nor PE32+: optional header magic %#x" % magic)
        self.magic = magic
        (self.subsystem,) = struct.unpack_from("<H", data, optional + 68)
        # PE32+ has 64-bit image base and stack/heap sizes: 16 bytes more.
        directories = optional + (96 if magic == 0x10B else 112)
        (directory_count,) = struct.unpack_from("<I", data, directories - 4)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(min(directory_count, 16))]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rawsize), rawptr, rawsize))

    def offset(self, rva):
        for _, vaddr, size, rawptr, rawsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rawsize:
                    raise PeError("RVA %#x lies in uninitialised data" % rva)
                return rawptr + rva - vaddr
        raise PeError("RVA %#x lies in no section" % rva)

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def u64(self, rva):
        return struct.unpack_from("<Q", self.data, self.offset(rva))[0]

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def string(self, rva):
        start = self.offset(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("latin-1")

    def exports(self):
        """(dll name, base, function count, [(name, ordinal, rva)], directory range)"""
        rva, size = self.directories[0]
        if rva == 0:
            return None, 0, 0, [], (0, 0)
        fields = struct.unpack_from("<IIHHIIIIIII", self.data, self.offset(rva))
        name_rva, base, function_count, name_count = fields[4], fields[5], fields[6], fields[7]
        functions, names, ordinals = fields[8], fields[9], fields[10]
        entries = []
        for i in range(name_count):
            index = self.u16(ordinals + 2 * i)
            entries.append((self.string(self.u32(names + 4 * i)), base + index,
                            self.u32(functions + 4 * index)))
        return self.string(name_rva), base, function_count, entries, (rva, rva + size)

    def function_rvas(self):
        rva, _ = self.directories[0]
        fields = struct.unpack_from("<IIHHIIIIIII", self.data, self.offset(rva))
        return [self.u32(fields[8] + 4 * i) for i in range(fields[6])]

    def imports(self):
        """[(dll name, [function names])]"""
        rva, _ = self.directories[1]
        result = []
        while rva:
            lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name_rva == 0:
                break
            functions = []
            table = lookup or thunks
            wide = self.magic == 0x20B
            by_ordinal = 1 << 63 if wide else 1 << 31
            while True:
                entry = self.u64(table) if wide else self.u32(table)
                if entry == 0:
                    break
                functions.append("#%d" % (entry & 0xFFFF) if entry & by_ordinal
                                 else self.string((entry & 0x7FFFFFFF) + 2))
                table += 8 if wide else 4
            result.append((self.string(name_rva), functions))
            rva += 20
        return result


def check(arch, path):
    machine, magic, expected, aliases = ARCHES[arch]
    problems = []
    with open(path, "rb") as f:
        pe = Pe(f.read())
    if pe.machine != machine or pe.magic != magic:
        problems.append("machine %#x, optional header %#x: not an %s image" % (pe.machine, pe.magic, arch))
    if not pe.is_dll:
        problems.append("the image is not marked as a DLL")

    dll_name, base, function_count, entries, (lo, hi) = pe.exports()
    print("exports of %s (name %s, ordinal base %d, %d functions):" % (path, dll_name, base, function_count))
    for name, ordinal, rva in sorted(entries, key=lambda e: e[1]):
        print("  %3d  %-22s %#010x" % (ordinal, name, rva))
    if dll_name is None:
        problems.append("no export directory")
    else:
        if dll_name.lower() != "wexlink.dll":
            problems.append("export directory names %r, not wexlink.dll" % dll_name)
        names = [e[0] for e in entries]
        if names != sorted(names, key=lambda n: n.encode()):
            problems.append("the name table is not in byte order")
        want = {name: i + 1 for i, name in enumerate(expected)}
        got = {name: ordinal for name, ordinal, _ in entries}
        for name in expected:
            if name not in got:
                problems.append("missing export %s" % name)
            elif got[name] != want[name]:
                problems.append("%s has ordinal %d, not %d" % (name, got[name], want[name]))
        for name in names:
            if name not in want:
                problems.append("unexpected export %s" % name)
        if len(names) != len(set(names)):
            problems.append("a name is exported twice")
        rvas = pe.function_rvas()
        if function_count != len(expected) or base != 1:
            problems.append("%d exported functions from ordinal %d; want %d from 1"
                            % (function_count, base, len(expected)))
        if any(r == 0 for r in rvas):
            problems.append("an ordinal without a function (an export by ordinal only would show here)")
        if any(lo <= r < hi for r in rvas):
            problems.append("a forwarded export")
        rva_of = {name: rva for name, _, rva in entries}
        for alias, name in aliases.items():
            if alias in rva_of and name in rva_of and rva_of[alias] != rva_of[name]:
                problems.append("alias %s leads elsewhere than %s" % (alias, name))
        distinct = {rva for name, _, rva in entries if name not in aliases}
        if len(distinct) != len(entries) - len(aliases.keys() & rva_of.keys()):
            problems.append("two exports lead to the same function")

    print("imports:")
    for dll, functions in pe.imports():
        print("  %-14s %s" % (dll, " ".join(functions)))
        if dll.lower() not in SYSTEM_DLLS:
            problems.append("imports from %s, which is not a system DLL" % dll)
    return problems


def check_program(arch, path):
    machine, magic, _, _ = ARCHES[arch]
    problems = []
    with open(path, "rb") as f:
        pe = Pe(f.read())
    if pe.machine != machine or pe.magic != magic:
        problems.append("machine %#x, optional header %#x: not an %s image" % (pe.machine, pe.magic, arch))
    if pe.is_dll:
        problems.append("the image is a DLL, not a program")
    if pe.subsystem != GUI_SUBSYSTEM:
        problems.append("subsystem %d, not the Windows GUI (2)" % pe.subsystem)
    print("imports of %s:" % path)
    for dll, functions in pe.imports():
        print("  %-14s %s" % (dll, " ".join(functions)))
        if dll.lower() not in PROGRAM_DLLS:
            problems.append("imports from %s, which is not a system DLL" % dll)
    return problems


def main():
    args = sys.argv[1:]
    program = args[:1] == ["--program"]
    if program:
        args = args[1:]
    if len(args) != 2 or args[0] not in ARCHES:
        print("usage: " + __doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    try:
        problems = (check_program if program else check)(args[0], args[1])
    except (OSError, PeError, struct.error, ValueError) as e:
        print("cannot read %s: %s" % (args[1], e))
        return 1
    for p in problems:
        print("FAIL " + p)
    if problems:
        return 1
    print("imports as required" if program else "exports and imports as required")
    return 0


if __name__ == "__main__":
    sys.exit(main())
