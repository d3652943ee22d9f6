"""Reads the version record (VS_VERSIONINFO) of a Windows PE file, from the
built file itself, with the standard library only."""

import struct

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class NotReadable(Exception):
    pass


def _unpack(fmt, data, offset):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise NotReadable(f"{size} bytes at {offset} run past the end ({len(data)} bytes)")
    return struct.unpack_from(fmt, data, offset)


def _resource_section(pe):
    """The resource directory's file offset and the way to map its RVAs."""
    (lfanew,) = _unpack("<I", pe, 0x3C)
    if pe[:2] != b"MZ" or pe[lfanew:lfanew + 4] != b"PE\0\0":
        raise NotReadable("not a PE file")
    coff = lfanew + 4
    sections, optional_size = _unpack("<H12xH", pe, coff + 2)
    optional = coff + 20
    (magic,) = _unpack("<H", pe, optional)
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -1)
    if directories < optional:
        raise NotReadable(f"unknown optional header {magic:#x}")
    (count,) = _unpack("<I", pe, directories - 4)
    if count <= 2:
        raise NotReadable("no resource directory")
    rsrc_rva, rsrc_size = _unpack("<II", pe, directories + 2 * 8)
    if rsrc_size == 0:
        raise NotReadable("no resources")

    table = optional + optional_size
    spans = []
    for i in range(sections):
        vsize, vaddr, raw_size, raw_at = _unpack("<8xIIII", pe, table + 40 * i)
        spans.append((vaddr, max(vsize, raw_size), raw_at))

    def offset_of(rva):
        for vaddr, size, raw_at in spans:
            if vaddr <= rva < vaddr + size:
                return raw_at + rva - vaddr
        raise NotReadable(f"address {rva:#x} is in no section")

    return offset_of(rsrc_rva), offset_of


def _first_entry(pe, rsrc, directory, wanted_id=None):
    """The offset (relative to the resource section) of the first entry of a
    resource directory, or of the one with `wanted_id`."""
    named, numbered = _unpack("<12xHH", pe, rsrc + directory)
    for i in range(named + numbered):
        name, target = _unpack("<II", pe, rsrc + directory + 16 + 8 * i)
        if wanted_id is None or (not name & 0x80000000 and name == wanted_id):
            return target
    raise NotReadable("no version resource" if wanted_id == RT_VERSION else "empty resource directory")


def _version_resource(pe):
    rsrc, offset_of = _resource_section(pe)
    target = _first_entry(pe, rsrc, 0, RT_VERSION)
    for _ in range(2):  # the name level, then the language level
        if not target & 0x80000000:
            raise NotReadable("resource tree too shallow")
        target = _first_entry(pe, rsrc, target & 0x7FFFFFFF)
    if target & 0x80000000:
        raise NotReadable("resource tree too deep")
    data_rva, size = _unpack("<II", pe, rsrc + target)
    start = offset_of(data_rva)
    if start + size > len(pe):
        raise NotReadable("version resource runs past the end")
    return pe[start:start + size]


def _align4(n):
    return (n + 3) & ~3


def _block(data, at, end):
    """One node of the version tree: (key, value bytes, is_text, children span, next)."""
    length, value_length, kind = _unpack("<HHH", data, at)
    if length < 6 or at + length > end:
        raise NotReadable(f"version node at {at} has length {length}")
    key_end = at + 6
    while True:
        (ch,) = _unpack("<H", data, key_end)
        if ch == 0:
            break
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = _align4(key_end + 2)
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    children = _align4(value_at + value_size)
    return key, value, kind == 1, (children, at + length), _align4(at + length)


def _children(data, span):
    at, end = span
    while at < end:
        node = _block(data, at, end)
        yield node
        at = node[4]


def read_version(path):
    """{"FileVersion": "1.0.0.1", ..., "fixed": {"FileVersion": (1, 0, 0, 1),
    "ProductVersion": (...)}} for the PE file at `path`."""
    with open(path, "rb") as f:
        pe = f.read()
    data = _version_resource(pe)
    key, fixed, _, span, _ = _block(data, 0, len(data))
    if key != "VS_VERSION_INFO":
        raise NotReadable(f"version resource starts with {key!r}")
    signature, _, file_ms, file_ls, product_ms, product_ls = _unpack("<6I", fixed, 0)
    if signature != FIXED_SIGNATURE:
        raise NotReadable("no fixed file information")
    quad = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    record = {"fixed": {"FileVersion": quad(file_ms, file_ls),
                        "ProductVersion": quad(product_ms, product_ls)}}
    for name, _, _, tables, _ in _children(data, span):
        if name != "StringFileInfo":
            continue
        for _, _, _, strings, _ in _children(data, tables):
            for field, value, is_text, _, _ in _children(data, strings):
                if is_text:
                    record[field] = value.decode("utf-16-le").rstrip("\0")
    return record
