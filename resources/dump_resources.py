#!/usr/bin/env python3
"""Prints the resources embedded in a built program, decoded, and checks them
against their sources in this folder: the entry listing, the dialog, the icon
and the manifest, each under its id of resource.h in English (United States).
The win32 build runs it as the ctest "resources":

    python3 resources/dump_resources.py build/win32/ZeltraES_RT.exe

Exit status 1 when a check fails. Standard library only.
"""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24
ENGLISH_US = 1033
MANIFEST_ID = 1  # CREATEPROCESS_MANIFEST_RESOURCE_ID


def resources(data):
    """{(type, name, language): bytes} of a PE file's resource section."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    # Each section header: name (8 bytes), then size, address, raw size, raw offset.
    sections = [struct.unpack_from("<IIII", data, pe + 24 + optional_size + 40 * i + 8) for i in range(count)]

    def offset(rva):
        for vsize, va, _rawsize, raw in sections:
            if va <= rva < va + vsize:
                return raw + rva - va
        raise ValueError("address %#x outside every section" % rva)

    magic = struct.unpack_from("<H", data, pe + 24)[0]
    directories = pe + 24 + (96 if magic == 0x10B else 112)
    base = offset(struct.unpack_from("<I", data, directories + 8 * 2)[0])

    def walk(table, path):
        named, ids = struct.unpack_from("<HH", data, base + table + 12)
        for i in range(named + ids):
            name, value = struct.unpack_from("<II", data, base + table + 16 + 8 * i)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", data, at)[0]
                name = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            if value & 0x80000000:
                yield from walk(value & 0x7FFFFFFF, path + (name,))
            else:
                rva, size = struct.unpack_from("<II", data, base + value)
                yield path + (name,), data[offset(rva):offset(rva) + size]

    return dict(walk(0, ()))


def text_or_ordinal(b, at):
    if struct.unpack_from("<H", b, at)[0] == 0xFFFF:
        return "#%d" % struct.unpack_from("<H", b, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", b, end)[0]:
        end += 2
    return b[at:end].decode("utf-16-le"), end + 2


def source(name):
    return open(os.path.join(HERE, name), "rb").read()


def resource_ids():
    """The #define NAME NUMBER lines of resource.h."""
    return {name: int(value) for name, value in re.findall(r"#define\s+(\w+)\s+(\d+)", source("resource.h").decode())}


def dialog(b):
    """Prints a DIALOGEX template; returns its control ids."""
    _, signature, _, ex_style, style, items, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", b, 0)
    at = 26
    menu, at = text_or_ordinal(b, at)
    cls, at = text_or_ordinal(b, at)
    caption, at = text_or_ordinal(b, at)
    points, weight, italic, charset = struct.unpack_from("<HHBB", b, at)
    face, at = text_or_ordinal(b, at + 6)
    print("  %s, style %08x, ex-style %x, at %d,%d size %d x %d, caption %r, menu %r, class %r"
          % ("DIALOGEX" if signature == 0xFFFF else "DIALOG", style, ex_style, x, y, cx, cy, caption, menu, cls))
    print("  font %d pt %r, weight %d, italic %d, charset %d" % (points, face, weight, italic, charset))
    controls = []
    for _ in range(items):
        at = (at + 3) & ~3
        _, ex, style, x, y, cx, cy, control = struct.unpack_from("<IIIhhhhI", b, at)
        cls, at = text_or_ordinal(b, at + 24)
        text, at = text_or_ordinal(b, at)
        at += 2 + struct.unpack_from("<H", b, at)[0]
        print("  control %d: class %r, text %r, style %08x, ex-style %x, at %d,%d size %d x %d"
              % (control, cls, text, style, ex, x, y, cx, cy))
        controls.append(control)
    return controls


# The texts of a version resource's string table, by name.
VERSION_TEXTS = {"CompanyName": "Zeltra Computing", "FileDescription": "ZeltraEnterprise Security Removal Tool",
                 "FileVersion": "1.0.0.0", "LegalCopyright": "Copyright (C) 2026 Zeltra Computing",
                 "ProductName": "ZeltraEnterprise Server", "ProductVersion": "1.0.0.0"}


def version_texts(b):
    texts = {}
    # Each String: length, value length (in characters), type 1, the key,
    # padding to 32 bits, the value; keys and values end with a NUL.
    for name in VERSION_TEXTS:
        key = (name + "\0").encode("utf-16-le")
        at = b.find(key)
        if at < 6:
            continue
        value_chars = struct.unpack_from("<H", b, at - 4)[0]
        start = (at + len(key) + 3) & ~3
        texts[name] = b[start:start + 2 * value_chars].decode("utf-16-le").rstrip("\0")
    return texts


def main(path):
    found = resources(open(path, "rb").read())
    ids = resource_ids()
    failures = []

    def check(ok, what):
        print("  %s: %s" % (what, "yes" if ok else "NO"))
        if not ok:
            failures.append(what)

    for (kind, name, language), b in sorted(found.items(), key=str):
        print("%s %s, language %d, %d bytes" % (kind, name, language, len(b)))
        if kind == RT_DIALOG:
            controls = dialog(b)
            if name == ids["IDD_MAIN"]:
                expected = sorted(v for k, v in ids.items() if k.startswith("IDC_"))
                check(sorted(controls) == expected, "the controls of resource.h")
        elif kind == RT_GROUP_ICON:
            print("  %d image(s); first: %d x %d, %d bits" % (struct.unpack_from("<H", b, 4)[0],
                                                             b[6] or 256, b[7] or 256, struct.unpack_from("<H", b, 12)[0]))
        elif kind == RT_ICON:
            check(b == source("app.ico")[22:], "the image of app.ico")
        elif kind == RT_VERSION:
            texts = version_texts(b)
            for name, value in sorted(VERSION_TEXTS.items()):
                check(texts.get(name) == value, "%s \"%s\"" % (name, value))
        elif kind == RT_MANIFEST:
            print("  " + b.decode("utf-8").replace("\n", "\n  "))
            check(b == source("app.manifest"), "byte for byte app.manifest")
        elif kind == "ENTRYLISTINGS":
            check(b == source("entry_listing.txt"), "byte for byte entry_listing.txt")
    for kind, name in (("ENTRYLISTINGS", ids["IDR_ENTRYLISTINGS"]), (RT_DIALOG, ids["IDD_MAIN"]),
                       (RT_GROUP_ICON, ids["IDI_APP"]), (RT_VERSION, 1), (RT_MANIFEST, MANIFEST_ID)):
        if (kind, name, ENGLISH_US) not in found:
            failures.append("no resource %s %s in language %d" % (kind, name, ENGLISH_US))
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
