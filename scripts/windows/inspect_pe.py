#!/usr/bin/python3
"""Inspects the Windows deliverables of one build: version block, icon and imports.

Usage: inspect_pe.py BIN_DIR ARCH      (ARCH: x64 or x86)
Exits 1 listing every finding, 0 when the programs are as delivered.
"""
import re
import struct
import sys
from pathlib import Path

import pefile

SOURCE_DIR = Path(__file__).resolve().parents[2]

# What each deliverable's version block says, written out here on purpose: the build
# takes its texts from app/Constants.h, and this table is the independent word on them.
COMMON = {
    'FileVersion': '7.07.0001',
    'ProductVersion': '7.07.0001',
    'Comments': 'Utility to gather files for support into a common folder for emailing',
    'CompanyName': 'Kelbrook',
    'LegalCopyright': 'Copyright (C) Kelbrook',
}
PROGRAMS = {
    'Kelbrook_7-7.exe': {
        'OriginalFilename': 'Kelbrook_7-7.exe',
        'InternalName': 'Kelbrook_7-7',
        'ProductName': 'Kelbrook_7-7',
    },
    'Kelbrook_Emailing_7-7.exe': {
        'OriginalFilename': 'Kelbrook_Emailing_7-7.exe',
        'InternalName': 'Kelbrook_Emailing_7-7',
        'ProductName': 'Kelbrook_emailing_7-7',
    },
    'jetdb.exe': None,  # no version block; imports only
}
FILE_VERSION = (7, 7, 0, 1)

# DLLs that every Windows has; anything else (libstdc++, libgcc, libwinpthread, ...) would
# have to travel with the program.
SYSTEM_DLLS = {
    'kernel32.dll', 'user32.dll', 'gdi32.dll', 'ole32.dll', 'oleaut32.dll', 'comctl32.dll',
    'shell32.dll', 'advapi32.dll', 'msvcrt.dll', 'ucrtbase.dll', 'shlwapi.dll', 'ws2_32.dll',
    'bcrypt.dll', 'comdlg32.dll', 'version.dll', 'uuid.dll',
}
SYSTEM_PREFIXES = ('api-ms-win-crt-', 'api-ms-win-core-')

MACHINES = {'x64': pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_AMD64'],
            'x86': pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_I386']}

RT_ICON = pefile.RESOURCE_TYPE['RT_ICON']
RT_GROUP_ICON = pefile.RESOURCE_TYPE['RT_GROUP_ICON']


def constants_texts():
    """The variant texts as app/Constants.h has them: {InternalName: {field: text}}."""
    text = (SOURCE_DIR / 'app' / 'Constants.h').read_text()
    start = text.index('#if KELBROOK_VARIANT_EMAILING')
    middle = text.index('#else', start)
    end = text.index('#endif', middle)

    def read(part, name):
        found = re.search(name + r'\s*=\s*"([^"]*)"', part)
        return found.group(1) if found else None

    result = {}
    for part in (text[start:middle], text[middle:end]):
        fields = {'OriginalFilename': read(part, 'Original_Filename'),
                  'InternalName': read(part, 'Internal_Name'),
                  'ProductName': read(part, 'Product_Name')}
        fields['FileVersion'] = read(text, 'File_Version')
        fields['Comments'] = read(text, 'Version_Comment')
        result[fields['OriginalFilename']] = fields
    return result


def version_strings(pe):
    blocks = {}
    for info in getattr(pe, 'FileInfo', []) or []:
        for entry in info:
            for table in getattr(entry, 'StringTable', []) or []:
                blocks[table.LangID.decode().upper()] = {
                    k.decode(): v.decode() for k, v in table.entries.items()}
    return blocks


def translations(pe):
    found = []
    for info in getattr(pe, 'FileInfo', []) or []:
        for entry in info:
            for var in getattr(entry, 'Var', []) or []:
                for key, value in var.entry.items():
                    if (key.decode() if isinstance(key, bytes) else key) == 'Translation':
                        found.append(value.decode() if isinstance(value, bytes) else value)
    return found


def icon_sizes(pe):
    """(width, height, colour count, bit count) of every entry of every icon group."""
    sizes = []
    if not hasattr(pe, 'DIRECTORY_ENTRY_RESOURCE'):
        return sizes
    icons = {}
    groups = []
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                if kind.id == RT_ICON:
                    icons[name.id] = data
                elif kind.id == RT_GROUP_ICON:
                    groups.append(data)
    for data in groups:
        _, _, count = struct.unpack_from('<HHH', data, 0)
        for i in range(count):
            w, h, colours, _, planes, bits, size, icon_id = struct.unpack_from('<BBBBHHIH', data, 6 + 14 * i)
            image = icons.get(icon_id)
            actual_bits = struct.unpack_from('<H', image, 14)[0] if image and len(image) >= 16 else None
            sizes.append((w or 256, h or 256, colours, bits, actual_bits))
    return sizes


def inspect(path, arch, expected, from_constants):
    findings = []
    pe = pefile.PE(str(path))
    if pe.FILE_HEADER.Machine != MACHINES[arch]:
        findings.append(f'machine type {pe.FILE_HEADER.Machine:#x}, expected {arch}')

    imports = [entry.dll.decode() for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', [])]
    for dll in imports:
        low = dll.lower()
        if low not in SYSTEM_DLLS and not low.startswith(SYSTEM_PREFIXES):
            findings.append(f'imports {dll}, which is not a system DLL')

    if expected is not None:
        blocks = version_strings(pe)
        if list(blocks) != ['040904B0']:
            findings.append(f'string blocks {list(blocks)}, expected exactly 040904B0')
        strings = blocks.get('040904B0', {})
        for field, text in {**COMMON, **expected}.items():
            if strings.get(field) != text:
                findings.append(f'{field} is {strings.get(field)!r}, expected {text!r}')
        constants = from_constants.get(expected['OriginalFilename'])
        if constants is None:
            findings.append('app/Constants.h has no variant for ' + expected['OriginalFilename'])
        else:
            for field, text in constants.items():
                if strings.get(field) != text:
                    findings.append(f'{field} is {strings.get(field)!r}, app/Constants.h says {text!r}')
        if translations(pe) != ['0x0409 0x04b0']:
            findings.append(f'translation {translations(pe)}, expected 0x0409 0x04b0 (US English, Unicode)')
        fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, 'VS_FIXEDFILEINFO', None) else None
        if fixed is None:
            findings.append('no fixed version information')
        else:
            for label, ms, ls in (('file', fixed.FileVersionMS, fixed.FileVersionLS),
                                  ('product', fixed.ProductVersionMS, fixed.ProductVersionLS)):
                numbers = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
                if numbers != FILE_VERSION:
                    findings.append(f'{label} version {numbers}, expected {FILE_VERSION}')

        icons = icon_sizes(pe)
        for size in (32, 16):
            entry = [i for i in icons if i[0] == size and i[1] == size]
            if not entry:
                findings.append(f'icon group has no {size}x{size} image (has {icons})')
            elif entry[0][2] != 16 or entry[0][3] != 4 or entry[0][4] != 4:
                findings.append(f'{size}x{size} icon is not 16 colours at 4 bits per pixel: {entry[0]}')

        subsystem = pe.OPTIONAL_HEADER.Subsystem
        if subsystem != pefile.SUBSYSTEM_TYPE['IMAGE_SUBSYSTEM_WINDOWS_GUI']:
            findings.append(f'subsystem {subsystem}, expected a GUI program')
    return imports, findings


def main():
    bin_dir, arch = Path(sys.argv[1]), sys.argv[2]
    from_constants = constants_texts()
    failed = False
    for name, expected in PROGRAMS.items():
        path = bin_dir / name
        if not path.exists():
            if name == 'jetdb.exe' and not (SOURCE_DIR / 'tools' / 'Main.cpp').exists() and \
                    not any((SOURCE_DIR / 'tools').glob('*.cpp')):
                print(f'  {arch} {name}: not part of this build yet')
                continue
            print(f'  {arch} {name}: MISSING in {bin_dir}')
            failed = True
            continue
        imports, findings = inspect(path, arch, expected, from_constants)
        if findings:
            failed = True
            print(f'  {arch} {name}: FAILED')
            for finding in findings:
                print(f'    - {finding}')
        else:
            print(f'  {arch} {name}: ok (imports {", ".join(imports)})')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
