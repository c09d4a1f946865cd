"""Truncated sources, refused before anything is read as data.

An interrupted copy or download leaves a file that still opens: a classic
NetCDF file cut short reads its missing records as zeros, a GeoTIFF cut
short fails only at the first missing strip, deep into a run. Each format
records how long the file must be, so ``check_complete`` compares that with
the file's size:

- HDF5 and NetCDF-4: the end-of-file address in the superblock (versions
  0 to 3; the superblock sits at byte 0, 512, 1024, 2048, ...);
- classic NetCDF (CDF-1, CDF-2, CDF-5): the end of the last variable's data
  that the header places (the last record for record variables);
- TIFF and BigTIFF: the end of every strip or tile of every image, and the
  directories and offset tables themselves.

Only the header and the directories are read. Any other file is left to
its reader.
"""

import os
import struct

import numpy as np

from ..errors import KitError

_HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
_TRUNCATED = "truncated (an interrupted copy or download?)"


class _PastEnd(Exception):
    """A structure of the file runs past its end: (byte needed, what)."""


def check_complete(path):
    """Raise KitError (a ValueError) naming the file when it is shorter than
    its own header or directories say; return None otherwise (also for
    formats not checked here, for directories such as Zarr stores, whose
    chunks are checked as they are decoded, and for files that cannot be
    opened, which their readers report)."""
    name = os.fspath(path)
    try:
        f = open(name, "rb")
    except OSError:  # absent, a directory, unreadable: its reader says so
        return
    with f:
        size = os.fstat(f.fileno()).st_size
        head = f.read(8)
        if head[:4] in (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+"):
            check = _tiff
        elif head[:3] == b"CDF" and head[3:4] in (b"\1", b"\2", b"\5"):
            check = _classic_netcdf
        else:
            check = _hdf5
        try:
            found = check(f, size)
        except _PastEnd as e:
            need, what = e.args
            found = (need, what)
        except (struct.error, ValueError, TypeError, OverflowError, KeyError, IndexError):
            return  # not what the signature promised: its reader says so
        if found is not None and found[0] > size:
            raise KitError(f"{name}: file is {size} bytes, {found[1]} {found[0]}: {_TRUNCATED}")


def _read(f, offset, n, size, what):
    """n bytes at offset, or _PastEnd naming what lies there."""
    if offset + n > size:
        raise _PastEnd(offset + n, what)
    f.seek(offset)
    return f.read(n)


# --- HDF5 -----------------------------------------------------------------

def _hdf5(f, size):
    """(bytes the superblock records, what), or None when the file has no
    HDF5 superblock or another driver (family, multi) spreads it over
    several files."""
    at = 0
    while at + 8 <= size:
        f.seek(at)
        if f.read(8) == _HDF5_SIGNATURE:
            break
        at = 512 if at == 0 else 2 * at
    else:
        return None
    version = _read(f, at + 8, 1, size, "its HDF5 superblock needs")[0]
    if version in (0, 1):
        fixed = _read(f, at, 24 if version == 0 else 28, size, "its HDF5 superblock needs")
        width = fixed[13]
        addresses = _read(f, at + len(fixed), 4 * width, size, "its HDF5 superblock needs")
        base, _, eof, driver = (_address(addresses, i, width) for i in range(4))
        if driver is not None:
            return None
    elif version in (2, 3):
        fixed = _read(f, at, 12, size, "its HDF5 superblock needs")
        width = fixed[9]
        addresses = _read(f, at + 12, 3 * width, size, "its HDF5 superblock needs")
        base, extension, eof = (_address(addresses, i, width) for i in range(3))
        if extension is not None and _has_driver_info(f, base + extension, width, size):
            return None
    else:
        return None
    if base is None or eof is None:
        return None
    # As the HDF5 library reads it: the end-of-file address, moved with the
    # superblock when that no longer sits at the base address.
    return eof + at - base, "its HDF5 superblock records"


def _address(buf, i, width):
    v = int.from_bytes(buf[i * width:(i + 1) * width], "little")
    return None if v == (1 << (8 * width)) - 1 else v


def _has_driver_info(f, at, width, size):
    """Whether the superblock extension's object header (version 2, as the
    library writes it for version 2 and 3 superblocks) holds a driver info
    message (type 0x14)."""
    if at + 6 > size:
        return False
    f.seek(at)
    head = f.read(6)
    if head[:4] != b"OHDR":
        return False
    flags = head[5]
    pos = at + 6 + (16 if flags & 0x20 else 0) + (4 if flags & 0x10 else 0)
    n = 1 << (flags & 3)
    chunk = int.from_bytes(_read(f, pos, n, size, "its HDF5 superblock extension needs"),
                           "little")
    body = _read(f, pos + n, chunk, size, "its HDF5 superblock extension needs")
    i, prefix = 0, 4 + (2 if flags & 0x04 else 0)
    while i + prefix <= len(body):
        kind, length = body[i], int.from_bytes(body[i + 1:i + 3], "little")
        if kind == 0x14:
            return True
        i += prefix + length
    return False


# --- classic NetCDF ---------------------------------------------------------

# Bytes of the external types NC_BYTE .. NC_UINT64.
_NC_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 4, 6: 8, 7: 1, 8: 2, 9: 4, 10: 8, 11: 8}


class _Header:
    """A cursor over a classic NetCDF header; integers are big-endian."""

    def __init__(self, f, size, version):
        self.f, self.size, self.pos = f, size, 4
        self.wide = version == 5          # 8-byte counts, lengths and ids
        self.offset64 = version in (2, 5)  # 8-byte variable offsets

    def take(self, n):
        b = _read(self.f, self.pos, n, self.size, "its NetCDF header needs")
        self.pos += n
        return b

    def int(self, n):
        return int.from_bytes(self.take(n), "big")

    def count(self):
        return self.int(8 if self.wide else 4)

    def items(self, least):
        """A list's count, each item taking at least `least` bytes."""
        n = self.count()
        if self.pos + n * least > self.size:
            raise _PastEnd(self.pos + n * least, "its NetCDF header needs")
        return n

    def skip_padded(self, n):
        self.pos += -(-n // 4) * 4
        if self.pos > self.size:
            raise _PastEnd(self.pos, "its NetCDF header needs")

    def name(self):
        n = self.count()
        start = self.pos
        self.skip_padded(n)
        self.f.seek(start)
        return self.f.read(n).decode("utf-8", "replace")

    def attributes(self):
        tag, n = self.int(4), self.items(12)
        if tag not in (0, 0x0C):
            raise ValueError("not an attribute list")
        for _ in range(n):
            self.name()
            kind = self.int(4)
            self.skip_padded(self.count() * _NC_SIZES[kind])


def _classic_netcdf(f, size):
    """(end of the last variable's data, what) from the header."""
    f.seek(3)
    h = _Header(f, size, f.read(1)[0])
    numrecs = h.count()
    streaming = numrecs == (1 << (64 if h.wide else 32)) - 1
    tag, ndims = h.int(4), h.items(8)
    if tag not in (0, 0x0A):
        raise ValueError("not a dimension list")
    dims = []
    for _ in range(ndims):
        h.name()
        dims.append(h.count())
    h.attributes()
    tag, nvars = h.int(4), h.items(24)
    if tag not in (0, 0x0B):
        raise ValueError("not a variable list")
    variables = []
    for _ in range(nvars):
        name = h.name()
        ids = [h.count() for _ in range(h.items(8 if h.wide else 4))]
        h.attributes()
        kind = h.int(4)
        h.count()  # vsize: capped for large variables, so the shape decides
        begin = h.int(8 if h.offset64 else 4)
        record = bool(ids) and dims[ids[0]] == 0
        shape = [dims[i] for i in ids[1 if record else 0:]]
        variables.append((name, record, begin, int(np.prod(shape, dtype=object)) * _NC_SIZES[kind]))
    need, what = h.pos, "its NetCDF header records"
    # A record holds every record variable, each padded to 4 bytes unless
    # it is the only one.
    records = [v for v in variables if v[1]]
    recsize = (records[0][3] if len(records) == 1
               else sum(-(-v[3] // 4) * 4 for v in records))
    for name, record, begin, nbytes in variables:
        if nbytes == 0 or (record and (streaming or numrecs == 0)):
            continue
        end = begin + nbytes + ((numrecs - 1) * recsize if record else 0)
        if end > need:
            need = end
            what = (f"its NetCDF header places {numrecs} records of variable '{name}' up to byte"
                    if record else f"its NetCDF header places variable '{name}' up to byte")
    return need, what


# --- TIFF and BigTIFF --------------------------------------------------------

_TIFF_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 8: 2, 9: 4, 10: 8, 11: 4, 12: 8,
               13: 4, 16: 8, 17: 8, 18: 8}
_TIFF_INTS = {3: "u2", 4: "u4", 13: "u4", 16: "u8", 18: "u8"}
_DATA_TAGS = {273: (279, "strip"), 324: (325, "tile")}  # offsets: (byte counts, what)
_TAG_NAMES = {273: "strip offsets", 279: "strip byte counts", 324: "tile offsets",
              325: "tile byte counts"}


def _tiff(f, size):
    """(end of the last strip or tile, what), walking every directory."""
    order = "<" if _peek(f, 0, 2) == b"II" else ">"
    big = _peek(f, 2, 2) in (b"+\0", b"\0+")
    # Entries: tag, type, count, value or offset.
    count_fmt, entry_fmt = ("Q", "HHQ8s") if big else ("H", "HHI4s")
    off_fmt = "Q" if big else "I"
    entry, count_size, off_size = (struct.calcsize(order + x) for x in (entry_fmt, count_fmt,
                                                                        off_fmt))
    ifd = struct.unpack(order + off_fmt, _read(f, 8 if big else 4, off_size, size,
                                               "its TIFF header needs"))[0]
    need, what, seen = 0, "its TIFF header records", set()
    while ifd and ifd not in seen and len(seen) < 100000:
        seen.add(ifd)
        image = f"its TIFF directory {len(seen)}"
        n = struct.unpack(order + count_fmt, _read(f, ifd, count_size, size, image + " needs"))[0]
        table = _read(f, ifd + count_size, n * entry + off_size, size, image + " needs")
        values = {}
        for k in range(n):
            tag, kind, count, field = struct.unpack_from(order + entry_fmt, table, k * entry)
            if tag not in _TAG_NAMES or kind not in _TIFF_INTS:
                continue
            nbytes = count * _TIFF_SIZES[kind]
            if nbytes <= off_size:
                raw = field[:nbytes]
            else:
                raw = _read(f, struct.unpack(order + off_fmt, field)[0], nbytes, size,
                            f"the {_TAG_NAMES[tag]} of {image[4:]} need")
            values[tag] = np.frombuffer(raw, order + _TIFF_INTS[kind]).astype(np.uint64)
        for offsets_tag, (counts_tag, kind) in _DATA_TAGS.items():
            if offsets_tag in values and counts_tag in values:
                offsets, counts = values[offsets_tag], values[counts_tag]
                m = min(len(offsets), len(counts))
                ends = (offsets[:m] + counts[:m])[counts[:m] > 0]  # sparse: offset 0, count 0
                if ends.size and int(ends.max()) > need:
                    need = int(ends.max())
                    what = f"{image} places {kind} data up to byte"
        ifd = struct.unpack_from(order + off_fmt, table, n * entry)[0]
    return need, what


def _peek(f, offset, n):
    f.seek(offset)
    return f.read(n)
