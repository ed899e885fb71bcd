"""What Windows shows of each shipped exe before running it: the version
resource and the manifest, read back from the PE file (no Wine needed)."""
import os
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

from release import PROGRAMS

WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"


def resources(pe, type_id):
    """(name id, language id, bytes) of every resource of one type."""
    found = []
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.append((name.id, language.id,
                              pe.get_data(data.OffsetToData, data.Size)))
    return found


def version_strings(pe):
    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pes = {name: pefile.PE(os.environ[variable]) for name, variable in PROGRAMS.items()}

    def test_version_resource_names_each_exe(self):
        descriptions = set()
        for name, pe in self.pes.items():
            with self.subTest(exe=name):
                strings = version_strings(pe)
                print(name, strings)
                self.assertEqual(strings, strings | {
                    "FileVersion": "1.0.0", "ProductVersion": "1.0.0", "ProductName": "Guestwise",
                    "CompanyName": "Kestrova", "LegalCopyright": "Copyright (c) 2026 Kestrova",
                    "OriginalFilename": name, "InternalName": name.removesuffix(".exe")})
                self.assertTrue(strings.get("FileDescription"))
                descriptions.add(strings.get("FileDescription"))
                fixed = pe.VS_FIXEDFILEINFO[0]
                self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (1 << 16, 0))
                self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (1 << 16, 0))
        self.assertEqual(len(descriptions), len(PROGRAMS), "two exes share a description")

    def test_manifest_runs_as_invoker_on_windows_10_and_11(self):
        for name, pe in self.pes.items():
            with self.subTest(exe=name):
                manifests = resources(pe, pefile.RESOURCE_TYPE["RT_MANIFEST"])
                # Windows reads an exe's manifest from resource 1 and no other.
                self.assertEqual([number for number, _, _ in manifests], [1])
                text = manifests[0][2]
                print(text.decode())
                root = ElementTree.fromstring(text)
                identity = root.find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")
                self.assertEqual(identity.get("name"), "Kestrova." + name.removesuffix(".exe"))
                levels = [(e.get("level"), e.get("uiAccess"))
                          for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
                self.assertEqual(levels, [("asInvoker", "false")])
                systems = [e.get("Id") for e in root.iter(COMPATIBILITY + "supportedOS")]
                self.assertEqual(systems, [WINDOWS_10_AND_11])


if __name__ == "__main__":
    unittest.main()
