"""Reads what the distribution check needs from a PE file: machine, exports, imports and the
strings of the version block. Every offset is checked against the file; a malformed file raises
PeError instead of giving a partial answer."""
import struct

MACHINES = {0x014C: "i386", 0x8664: "x86-64", 0xAA64: "arm64"}


class PeError(Exception):
    pass


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = self._u32(0x3C)
        if d[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        machine, nsect, _, _, _, optsize, self.characteristics = self._unpack("<HHIIIHH", pe + 4)
        self.machine = MACHINES.get(machine, "0x%04x" % machine)
        opt = pe + 24
        magic = self._u16(opt)
        if magic == 0x10B:
            dirs = opt + 96
        elif magic == 0x20B:
            dirs = opt + 112
        else:
            raise PeError("unknown optional header magic 0x%x" % magic)
        ndirs = self._u32(dirs - 4)
        self.dirs = [self._unpack("<II", dirs + 8 * i) for i in range(min(ndirs, 16))]
        self.sections = []
        sect = opt + optsize
        for i in range(nsect):
            name, vsize, va, rawsize, rawptr = self._unpack("<8sIIII", sect + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), va, max(vsize, rawsize), rawptr, rawsize))

    @property
    def is_dll(self):
        return bool(self.characteristics & 0x2000)

    def _unpack(self, fmt, off):
        if off < 0 or off + struct.calcsize(fmt) > len(self.data):
            raise PeError("read past the end at 0x%x" % off)
        return struct.unpack_from(fmt, self.data, off)

    def _u16(self, off):
        return self._unpack("<H", off)[0]

    def _u32(self, off):
        return self._unpack("<I", off)[0]

    def _off(self, rva):
        for _, va, size, rawptr, rawsize in self.sections:
            if va <= rva < va + size:
                if rva - va >= rawsize:
                    raise PeError("RVA 0x%x lies in uninitialised data" % rva)
                return rawptr + rva - va
        raise PeError("RVA 0x%x is in no section" % rva)

    def _cstr(self, rva):
        off = self._off(rva)
        end = self.data.find(b"\0", off, off + 512)
        if end < 0:
            raise PeError("unterminated name at RVA 0x%x" % rva)
        return self.data[off:end].decode("latin-1")

    def exports(self):
        if len(self.dirs) < 1 or self.dirs[0][0] == 0:
            return []
        off = self._off(self.dirs[0][0])
        nnames = self._u32(off + 24)
        names_rva = self._u32(off + 32)
        if nnames > 65536:
            raise PeError("export table claims %d names" % nnames)
        return sorted(self._cstr(self._u32(self._off(names_rva) + 4 * i)) for i in range(nnames))

    def imports(self):
        if len(self.dirs) < 2 or self.dirs[1][0] == 0:
            return []
        off = self._off(self.dirs[1][0])
        names = []
        for i in range(4096):
            name_rva = self._u32(off + 20 * i + 12)
            if name_rva == 0:
                return sorted(set(names))
            names.append(self._cstr(name_rva).lower())
        raise PeError("import table without end")

    def file_version(self):
        """The binary file version of the version block (VS_FIXEDFILEINFO), as "a.b.c.d"."""
        at = self.data.find(struct.pack("<I", 0xFEEF04BD))
        if at < 0:
            raise PeError("no version block")
        ms, ls = self._unpack("<II", at + 8)
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    def version_strings(self):
        """The StringFileInfo values of the version resource, found by their UTF-16 keys."""
        out = {}
        for key in ("CompanyName", "FileDescription", "FileVersion", "InternalName", "OriginalFilename",
                    "ProductName", "ProductVersion"):
            pat = (key + "\0").encode("utf-16-le")
            at = self.data.find(pat)
            if at < 0:
                continue
            at += len(pat)
            at += (4 - at % 4) % 4          # values are aligned on 32-bit boundaries
            end = at
            while end + 1 < len(self.data) and self.data[end:end + 2] != b"\0\0":
                end += 2
            out[key] = self.data[at:end].decode("utf-16-le", "replace")
        return out
