#!/usr/bin/env python3
"""Reads the built program's PE header: the hardening the loader relies on must be switched on."""
import argparse
import struct
import sys
import unittest

IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA = 0x0020
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
PE32_PLUS = 0x20B
# Libraries the Windows loader takes from the system folder whatever the search order says.
KNOWN_SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll", "advapi32.dll",
                     "gdi32.dll", "ole32.dll", "shlwapi.dll", "comdlg32.dll"}


class PeImage:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        self.optional = pe + 24
        self.magic = struct.unpack_from("<H", data, self.optional)[0]
        self.dll_characteristics = struct.unpack_from("<H", data, self.optional + 70)[0]
        directories = self.optional + 112
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        table = self.optional + optional_size
        self.sections = []
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rsize), raddr))

    def offset(self, rva):
        for _, vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise ValueError(f"rva {rva:#x} outside every section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def imports(self):
        """{dll name: [imported names]} from the import directory."""
        rva, _ = self.directories[1]
        found = {}
        entry = self.offset(rva)
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, entry)
            if name == 0:
                return found
            names = []
            cursor = self.offset(lookup or thunks)
            while True:
                value = struct.unpack_from("<Q", self.data, cursor)[0]
                if value == 0:
                    break
                if not value & (1 << 63):
                    names.append(self.text((value & 0x7FFFFFFF) + 2))
                cursor += 8
            found[self.text(name).lower()] = names
            entry += 20


class PeHeaderTest(unittest.TestCase):
    image = None

    def test_is_64_bit_gui_program(self):
        self.assertEqual(self.image.machine, 0x8664)
        self.assertEqual(self.image.magic, PE32_PLUS)
        subsystem = struct.unpack_from("<H", self.image.data, self.image.optional + 68)[0]
        self.assertEqual(subsystem, 2, "IMAGE_SUBSYSTEM_WINDOWS_GUI: no console")

    def test_aslr_with_high_entropy_and_dep(self):
        flags = self.image.dll_characteristics
        self.assertTrue(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "ASLR")
        self.assertTrue(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, "high-entropy ASLR")
        self.assertTrue(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "DEP")
        # Without relocations the loader cannot move the image, whatever the flag says.
        self.assertFalse(self.image.characteristics & IMAGE_FILE_RELOCS_STRIPPED)
        relocations_rva, relocations_size = self.image.directories[5]
        self.assertGreater(relocations_size, 0, "base relocations present")
        self.assertGreater(relocations_rva, 0)

    def test_loads_only_system_libraries_and_restricts_later_loads(self):
        imports = self.image.imports()
        self.assertTrue(set(imports) <= KNOWN_SYSTEM_DLLS, sorted(imports))
        self.assertIn("SetDefaultDllDirectories", imports.get("kernel32.dll", []))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    args, rest = parser.parse_known_args()
    with open(args.exe, "rb") as file:
        PeHeaderTest.image = PeImage(file.read())
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
