#!/usr/bin/env python3
"""Checks the Windows zip as a user receives it (CI, .ci/steps/40-windows.sh).

Usage: check_zip.py ZIP VERSION

- The zip holds one folder with exactly TaveloIAP.exe, TaveloIAP-zh.exe, taveloiap-cipher.exe and
  README.txt.
- Each .exe is a 32-bit console program whose resources hold a version resource (fixed file and product
  version VERSION, the strings FileVersion, ProductVersion, ProductName, FileDescription and
  OriginalFilename) and an application manifest (asInvoker, the supportedOS entries).
- Each .exe imports only libraries that Windows takes from its system directory whatever the folder it
  runs from (its known list), not hid.dll, which the HID code loads from the system directory itself;
  and it is marked for address space layout randomisation (DYNAMIC_BASE) and no-execute data (NX_COMPAT).
- README.txt is UTF-8 with a byte order mark and CRLF line ends, in English and Chinese, and names
  VERSION.
The PE resources are read here with the standard library alone.
"""
import re
import struct
import sys
import zipfile

PROGRAMS = ["TaveloIAP.exe", "TaveloIAP-zh.exe", "taveloiap-cipher.exe"]
RT_VERSION = 16
RT_MANIFEST = 24
SUPPORTED_OS = [
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
]

# Libraries on Windows' known list (KnownDLLs): loaded from the system directory only, so a file of the same
# name beside the program is never taken instead.
KNOWN_DLLS = {"kernel32.dll", "msvcrt.dll", "setupapi.dll", "user32.dll", "advapi32.dll", "gdi32.dll",
              "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "ws2_32.dll", "comdlg32.dll",
              "imm32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "combase.dll"}
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100

failures = []


def fail(what):
    failures.append(what)


def pe_resources(pe):
    """Returns {(type id, name id): data} of a PE image, its machine and subsystem, its DllCharacteristics
    and the names of the libraries it imports (the import and the delay-load import tables)."""
    if pe[:2] != b"MZ":
        raise ValueError("no MZ header")
    pe_at = struct.unpack_from("<I", pe, 0x3C)[0]
    if pe[pe_at:pe_at + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    machine, n_sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", pe, pe_at + 4)
    opt_at = pe_at + 24
    magic = struct.unpack_from("<H", pe, opt_at)[0]
    subsystem, dll_flags = struct.unpack_from("<HH", pe, opt_at + 68)
    dirs_at = opt_at + (96 if magic == 0x10B else 112)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", pe, dirs_at + 2 * 8)
    sections = []
    for i in range(n_sections):
        at = opt_at + opt_size + 40 * i
        vsize, va, raw_size, raw_at = struct.unpack_from("<IIII", pe, at + 8)
        sections.append((va, max(vsize, raw_size), raw_at))

    def offset(rva):
        for va, size, raw_at in sections:
            if va <= rva < va + size:
                return raw_at + rva - va
        raise ValueError("RVA 0x%x in no section" % rva)

    def text(rva):
        at = offset(rva)
        return pe[at:pe.index(b"\0", at)].decode("ascii", "replace")

    # An import descriptor is 20 bytes (name at 12), a delay-load descriptor 32 (name at 4); zero ends.
    imports = []
    for index, size, name_at in ((1, 20, 12), (13, 32, 4)):
        table_rva = struct.unpack_from("<I", pe, dirs_at + index * 8)[0]
        at = offset(table_rva) if table_rva else None
        while at is not None and any(pe[at:at + size]):
            imports.append(text(struct.unpack_from("<I", pe, at + name_at)[0]))
            at += size

    found = {}
    if rsrc_size == 0:
        return found, machine, subsystem, dll_flags, imports
    base = offset(rsrc_rva)

    def entries(dir_at):
        named, ids = struct.unpack_from("<HH", pe, base + dir_at + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", pe, base + dir_at + 16 + 8 * i)
            yield name, target

    for type_id, type_dir in entries(0):
        for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
            for _, leaf in entries(name_dir & 0x7FFFFFFF):
                data_rva, size = struct.unpack_from("<II", pe, base + leaf)
                found[(type_id, name_id)] = pe[offset(data_rva):offset(data_rva) + size]
    return found, machine, subsystem, dll_flags, imports


def version_node(blob, at):
    """One node of a VS_VERSIONINFO tree at `at`: (key, value bytes, children), and its length."""
    length, value_len, value_type = struct.unpack_from("<HHH", blob, at)
    key_end = at + 6
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_bytes = 2 * value_len if value_type == 1 else value_len  # text counts characters
    value = blob[value_at:value_at + value_bytes]
    children = []
    child_at = (value_at + value_bytes + 3) & ~3
    while child_at + 6 <= at + length:
        child, child_len = version_node(blob, child_at)
        if child_len == 0:
            break
        children.append(child)
        child_at = (child_at + child_len + 3) & ~3
    return (key, value, children), length


def version_info(blob):
    """The fixed file and product versions and the StringFileInfo strings of a VS_VERSIONINFO."""
    (key, fixed, children), _ = version_node(blob, 0)
    if key != "VS_VERSION_INFO" or len(fixed) != 52:
        raise ValueError("no VS_VERSION_INFO")
    sig, _, file_ms, file_ls, prod_ms, prod_ls = struct.unpack_from("<IIIIII", fixed, 0)
    if sig != 0xFEEF04BD:
        raise ValueError("no VS_FIXEDFILEINFO")
    strings = {}
    for child_key, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, entries in tables:
                for entry_key, value, _ in entries:
                    strings[entry_key] = value.decode("utf-16-le").rstrip("\0")

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return dotted(file_ms, file_ls), dotted(prod_ms, prod_ls), strings


def check_program(name, pe, version):
    try:
        res, machine, subsystem, dll_flags, imports = pe_resources(pe)
    except (ValueError, struct.error) as e:
        fail("%s: %s" % (name, e))
        return
    if machine != 0x14C or subsystem != 3:
        fail("%s: not a 32-bit console program (machine 0x%x, subsystem %d)" % (name, machine, subsystem))
    for dll in imports:
        if dll.lower() not in KNOWN_DLLS:
            fail("%s: imports %s, which Windows may load from the program's folder" % (name, dll))
    for flag, what in ((IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "DYNAMIC_BASE"),
                       (IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "NX_COMPAT")):
        if not dll_flags & flag:
            fail("%s: not marked %s" % (name, what))
    print("%s: imports %s" % (name, ", ".join(imports)))
    blob = res.get((RT_VERSION, 1))
    if blob is None:
        fail("%s: no version resource" % name)
    else:
        try:
            file_version, product_version, strings = version_info(blob)
        except (ValueError, struct.error, UnicodeDecodeError) as e:
            fail("%s: version resource: %s" % (name, e))
            strings, file_version, product_version = {}, "", ""
        four = version + ".0"
        for what, got in (("file version", file_version), ("product version", product_version)):
            if got != four:
                fail("%s: %s %s, not %s" % (name, what, got, four))
        expected = {"FileVersion": version, "ProductVersion": version, "ProductName": "TaveloIAP",
                    "OriginalFilename": name}
        for key, want in expected.items():
            if strings.get(key) != want:
                fail("%s: %s is %r, not %r" % (name, key, strings.get(key), want))
        if not strings.get("FileDescription"):
            fail("%s: no FileDescription" % name)
        print("%s: version %s, %r" % (name, strings.get("FileVersion"), strings.get("FileDescription")))
    manifest = res.get((RT_MANIFEST, 1))
    if manifest is None:
        fail("%s: no application manifest" % name)
        return
    text = manifest.decode("utf-8", "replace")
    if not re.search(r'<requestedExecutionLevel\s+level="asInvoker"', text):
        fail("%s: the manifest does not ask for asInvoker" % name)
    for guid in SUPPORTED_OS:
        if 'supportedOS Id="%s"' % guid not in text:
            fail("%s: the manifest lacks supportedOS %s" % (name, guid))


def main():
    zip_path, version = sys.argv[1], sys.argv[2]
    with zipfile.ZipFile(zip_path) as z:
        names = sorted(n for n in z.namelist() if not n.endswith("/"))
        folder = "TaveloIAP-%s-win32/" % version
        want = sorted(folder + n for n in PROGRAMS + ["README.txt"])
        if names != want:
            fail("the zip holds %s, not %s" % (names, want))
        for name in PROGRAMS:
            if folder + name in names:
                check_program(name, z.read(folder + name), version)
        if folder + "README.txt" in names:
            readme = z.read(folder + "README.txt")
            if not readme.startswith(b"\xef\xbb\xbf"):
                fail("README.txt has no UTF-8 byte order mark")
            if readme.count(b"\n") != readme.count(b"\r\n"):
                fail("README.txt has line ends other than CRLF")
            text = readme.decode("utf-8")
            for needle in ("TaveloIAP " + version, "When an upgrade fails", "升级失败时", "Tavelo-KT1-Cipher.bin"):
                if needle not in text:
                    fail("README.txt does not hold %r" % needle)
    for f in failures:
        print("FAIL:", f)
    if failures:
        return 1
    print("%s: the programs carry version %s and their manifests; README.txt for Notepad" % (zip_path, version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
