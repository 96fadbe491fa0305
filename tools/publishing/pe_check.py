"""The launcher's executable: is it a program Windows starts as the launcher?"""
import re
import struct
import xml.etree.ElementTree as ElementTree

RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_MANIFEST = 3, 10, 14, 24
MANIFEST_ID, ICON_ID = 1, 101
LIST_KEY_NAME = "TARSIN_LIST_KEY"   # RCDATA: the public key the launcher checks the list with


def _entry_name(data, base, name):
    """An entry's id, or its name when it has one."""
    if not name & 0x80000000:
        return name
    at = base + (name & 0x7FFFFFFF)
    length = struct.unpack_from("<H", data, at)[0]
    return data[at + 2:at + 2 + 2 * length].decode("utf-16-le", "replace")


def _resource(data, sections, base_rva, path):
    """The bytes of the resource at path (type, id), in its first language, or None."""
    base = _file_offset(sections, base_rva)
    directory = 0
    for want in path + (None,):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        entries = [struct.unpack_from("<II", data, base + directory + 16 + 8 * i) for i in range(named + ids)]
        found = [target for name, target in entries if want is None or _entry_name(data, base, name) == want]
        if not found:
            return None
        if not found[0] & 0x80000000:
            rva, size = struct.unpack_from("<II", data, base + found[0])
            start = _file_offset(sections, rva)
            return data[start:start + size] if start + size <= len(data) else None
        directory = found[0] & 0x7FFFFFFF
    return None


def _file_offset(sections, rva):
    for address, size, raw in sections:
        if address <= rva < address + size:
            return raw + rva - address
    raise ValueError(f"address 0x{rva:x} lies in no section")


def _manifest_problems(text):
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as e:
        return [f"its application manifest is not XML ({e})"]
    elements = [(e.tag.rsplit("}", 1)[-1], e) for e in root.iter()]
    problems = []
    if not any(tag == "assemblyIdentity" and e.get("name") == "Microsoft.Windows.Common-Controls"
               and e.get("version", "").startswith("6.") for tag, e in elements):
        problems.append("its application manifest does not ask for the common controls 6")
    if [e.get("level") for tag, e in elements if tag == "requestedExecutionLevel"] != ["asInvoker"]:
        problems.append('its application manifest does not run it "asInvoker"')
    if [(e.text or "").strip().lower() for tag, e in elements if tag == "dpiAware"] != ["true"]:
        problems.append("its application manifest does not declare it DPI-aware")
    return problems


# DLLs every Windows the launcher supports ships: a launcher that needs any other (a
# compiler's runtime left dynamic) would not start on a player's machine.
SYSTEM_DLLS = frozenset("""advapi32 bcrypt comctl32 comdlg32 crypt32 dwmapi gdi32 imm32 kernel32 msvcrt
    ntdll ole32 oleaut32 rpcrt4 secur32 setupapi shcore shell32 shlwapi user32 userenv uxtheme version
    winhttp wininet winmm ws2_32""".split())


# The "known DLLs": those Windows takes only from System32 on every version the launcher
# supports (7 to 11); ntdll is loaded before any search. Any other DLL a program imports is
# looked for in the program's folder first, and the launcher's folder is the game's, where
# mods drop DLLs. The launcher loads such DLLs at their first call, once it has confined the
# search to System32 (cmake/delay_imports.cmake); those loads are not checked here, since GNU
# ld leaves the delay-import directory empty.
KNOWN_DLLS = frozenset("""advapi32 clbcatq comdlg32 gdi32 imagehlp imm32 kernel32 msctf msvcrt normaliz nsi
    ntdll ole32 oleaut32 psapi rpcrt4 sechost setupapi shell32 shlwapi user32 wldap32 ws2_32""".split())


def _imports(data, sections, rva):
    """The names of the DLLs the import directory at rva names."""
    names, at = [], _file_offset(sections, rva)
    while True:
        name_rva = struct.unpack_from("<IIIII", data, at)[3]
        if not name_rva:
            return names
        start = _file_offset(sections, name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("ascii", "replace"))
        at += 20


def _has_icon(data, sections, resources):
    """The icon group the launcher shows, with every icon it names."""
    group = _resource(data, sections, resources, (RT_GROUP_ICON, ICON_ID))
    if group is None:
        return False
    count = struct.unpack_from("<H", group, 4)[0]
    icons = [struct.unpack_from("<H", group, 6 + 14 * i + 12)[0] for i in range(count)]
    return bool(icons) and all(_resource(data, sections, resources, (RT_ICON, i)) for i in icons)


def _layout(data):
    """The sections (address, size, file offset) and the resource directory's address."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a Windows program")
    count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    table = optional + (108 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 92)
    sections = []
    for i in range(count):
        virtual_size, address, raw_size, raw = struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
        sections.append((address, min(virtual_size or raw_size, raw_size), raw))
    resources = struct.unpack_from("<I", data, table + 4 + 16)[0] if struct.unpack_from("<I", data, table)[0] > 2 else 0
    return sections, resources


def launcher_list_key(data):
    """The public key (128 hex digits) the launcher takes the file list signed with: its
    resource LIST_KEY_NAME. None for a launcher without one, which takes any list."""
    try:
        sections, resources = _layout(data)
        raw = _resource(data, sections, resources, (RT_RCDATA, LIST_KEY_NAME)) if resources else None
    except (struct.error, ValueError):
        return None
    text = raw.rstrip(b"\0").decode("ascii", "replace") if raw else ""
    return text if re.fullmatch(r"[0-9a-f]{128}", text) else None


def launcher_problems(data, allow_64_bit=False):
    """Why the bytes are not a launcher Windows starts: a 32-bit GUI program carrying
    the launcher's application manifest and icon, needing only Windows' own DLLs and loading
    at its start only those Windows takes from System32 alone. Empty when they are. allow_64_bit: the tests' 64-bit build passes too (tools/wine_build.py)."""
    if data[:2] != b"MZ":
        return ["not a Windows program (no MZ header)"]
    problems = []
    try:
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            return ["not a Windows program (no PE header)"]
        machine, count, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        wide = allow_64_bit and machine == 0x8664 and magic == 0x20B
        if machine != 0x14C and not wide:
            problems.append(f"built for machine 0x{machine:04x}, not for 32-bit x86")
        if not characteristics & 0x0002 or characteristics & 0x2000:
            problems.append("not an executable program")
        if magic != 0x10B and not wide:
            return problems + ["not a 32-bit (PE32) image"]
        subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        if subsystem != 2:
            problems.append(f"subsystem {subsystem}, not a Windows GUI program")
        sections = []
        for i in range(count):
            virtual_size, address, raw_size, raw = struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
            if raw + raw_size > len(data):
                return problems + [f"cut short: {len(data)} bytes, but its sections reach byte {raw + raw_size}"]
            sections.append((address, min(virtual_size or raw_size, raw_size), raw))
        table = optional + (108 if wide else 92)  # PE32+ has wider fields before it
        directories = struct.unpack_from("<I", data, table)[0]

        def directory(index):
            return struct.unpack_from("<I", data, table + 4 + 8 * index)[0] if directories > index else 0

        imports, resources = directory(1), directory(2)
        manifest = _resource(data, sections, resources, (RT_MANIFEST, MANIFEST_ID)) if resources else None
        has_icon = bool(resources) and _has_icon(data, sections, resources)
        imported = [(n, n.lower().removesuffix(".dll")) for n in (_imports(data, sections, imports) if imports else [])
                    if not n.lower().startswith("api-ms-win-")]
        foreign = [n for n, base in imported if base not in SYSTEM_DLLS]
        searched = [n for n, base in imported if base in SYSTEM_DLLS and base not in KNOWN_DLLS]
    except struct.error:
        return problems + ["its headers are cut short or damaged"]
    except ValueError as e:
        return problems + [f"its headers are damaged: {e}"]
    if manifest is None:
        problems.append("no application manifest (resource 1)")
    else:
        problems += _manifest_problems(manifest)
    if not has_icon:
        problems.append(f"no icon (resource {ICON_ID})")
    if foreign:
        problems.append("needs " + ", ".join(foreign) + ", which Windows does not ship; link it statically")
    if searched:
        problems.append("loads " + ", ".join(searched) + " at its start, from its own folder when one lies there"
                        " (a mod's); load each at its first call, from System32")
    return problems
