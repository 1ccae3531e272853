#!/usr/bin/python3
"""Prints what an independent reader finds in a PE file's resources, one fact
a line: a path ("name/language/..."), a tab, a value.

pefile locates the resources and decodes the fixed information and the
strings. It keeps only the last pair of a Var and the first Var of a
VarFileInfo, so Vars, root children and String lengths are walked here."""
import hashlib
import re
import struct
import sys

import pefile


def align4(x):
    return (x + 3) & ~3


def walk(data, at, limit, out, prefix):
    """One block and its children, which must lie inside it."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    if length < 6 or end > limit:
        out.append((prefix + "/problem", "block at %d runs past %d" % (at, limit)))
        end = min(end, limit)
    key_end = at + 6
    while key_end + 2 <= end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    value_at = align4(key_end + 2)
    value = data[value_at:value_at + (2 * value_length if kind == 1 else value_length)]
    block = {"at": at, "end": end, "key": data[at + 6:key_end].decode("utf-16-le"), "units": value_length,
             "value": value, "children": []}
    child = align4(value_at + len(value))
    while child + 6 <= end and struct.unpack_from("<H", data, child)[0] != 0:
        block["children"].append(walk(data, child, end, out, prefix))
        child = align4(block["children"][-1]["end"])
    return block


def join_surrogates(text):
    """pefile escapes each half of a surrogate pair on its own."""
    pair = re.compile(r"\\u(d[89ab][0-9a-f]{2})\\u(d[c-f][0-9a-f]{2})")
    return pair.sub(lambda m: chr(0x10000 + ((int(m[1], 16) - 0xD800) << 10) + int(m[2], 16) - 0xDC00), text)


def version_facts(pe, prefix, entry, data, out):
    root = walk(data, 0, len(data), out, prefix)
    if root["end"] != len(data):
        out.append((prefix + "/problem", "root length %d, resource %d" % (root["end"], len(data))))
    for child in root["children"]:
        known = child["key"] in ("StringFileInfo", "VarFileInfo")
        raw = data[child["at"]:child["end"]]
        out.append((prefix + "/child", child["key"] if known else child["key"] + " " + raw.hex()))
        for sub in child["children"] if known else []:
            if child["key"] == "VarFileInfo":
                values = struct.unpack_from("<%dI" % (len(sub["value"]) // 4), sub["value"])
                out.append((prefix + "/var/" + sub["key"], " ".join("%08X" % v for v in values)))
            for string in sub["children"] if child["key"] == "StringFileInfo" else []:
                path = "%s/%s" % (sub["key"], string["key"])
                out.append((prefix + "/units/" + path, str(string["units"])))
                out.append((prefix + "/length/" + path, str(string["end"] - string["at"])))

    for name in ("VS_VERSIONINFO", "VS_FIXEDFILEINFO", "FileInfo"):
        if hasattr(pe, name):
            delattr(pe, name)
    pe.parse_version_information(entry)
    fixed = pe.VS_FIXEDFILEINFO[0]
    for field in ("Signature", "StrucVersion", "FileVersionMS", "FileVersionLS", "ProductVersionMS",
                  "ProductVersionLS", "FileFlagsMask", "FileFlags", "FileOS", "FileType", "FileSubtype",
                  "FileDateMS", "FileDateLS"):
        out.append((prefix + "/fixed/" + field, "%08X" % getattr(fixed, field)))
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            out.append((prefix + "/table", table.LangID.decode()))
            for k, v in table.entries.items():
                out.append((prefix + "/string/%s/%s" % (table.LangID.decode(), k.decode()), join_surrogates(v.decode())))


def main(path):
    pe = pefile.PE(path)
    out = []
    name_of = lambda e: str(e.name) if e.name is not None else str(e.id)
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                prefix = "%s/%s" % (name_of(name), lang.id)
                out.append(("entry", "%s/%s %s" % (name_of(kind), prefix, hashlib.sha256(data).hexdigest())))
                if kind.id == pefile.RESOURCE_TYPE["RT_VERSION"]:
                    version_facts(pe, prefix, lang.data.struct, data, out)
    for key, value in out:
        print("%s\t%s" % (key, value.replace("\\", "\\\\").replace("\n", "\\n").replace("\t", "\\t")))


if __name__ == "__main__":
    main(sys.argv[1])
