"""Where a PE image's header fields lie and what they hold, read straight
from its bytes: the one reader of PE fields that the Python tests share,
written apart from the image engine so that it can disagree with it.

    fields = PeFields(data)
    base = fields.read(data, "image_base")
    fields.write(data, "checksum", 0)
    fields.section(1) + 8   # the second section's VirtualSize
"""
import struct

PE32_PLUS = 0x20B
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
BASE_RELOCATION_DIRECTORY = 5


def u16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


class PeFields:
    """File offsets of the header fields of one image (headers as written,
    not checked: the tests also take them apart)."""

    def __init__(self, data):
        self.lfanew = u32(data, 0x3C)
        file_header = self.lfanew + 4
        self.optional = file_header + 20
        self.pe32_plus = u16(data, self.optional) == PE32_PLUS
        # name: (offset, size in bytes)
        self.fields = {
            "number_of_sections": (file_header + 2, 2),
            "time_date_stamp": (file_header + 4, 4),
            "size_of_optional_header": (file_header + 16, 2),
            "characteristics": (file_header + 18, 2),
            "image_base": (self.optional + 24, 8) if self.pe32_plus else (self.optional + 28, 4),
            "size_of_image": (self.optional + 56, 4),
            "checksum": (self.optional + 64, 4),
            "dll_characteristics": (self.optional + 70, 2),
        }
        self.directories = self.optional + (112 if self.pe32_plus else 96)
        self.sections = self.optional + u16(data, file_header + 16)

    def offset(self, name):
        return self.fields[name][0]

    def read(self, data, name):
        offset, size = self.fields[name]
        return int.from_bytes(data[offset:offset + size], "little")

    def write(self, data, name, value):
        offset, size = self.fields[name]
        data[offset:offset + size] = value.to_bytes(size, "little")

    def directory(self, index):
        """File offset of data directory `index`: its RVA, then its size."""
        return self.directories + 8 * index

    def section(self, index):
        """File offset of section header `index`."""
        return self.sections + 40 * index


def checksum(data):
    """The PE checksum of `data` as its definition gives it: the sum of its
    16-bit words with the CheckSum field taken as zero (by byte offset) and
    an odd last byte padded with zero, carries folded, plus its length."""
    field = PeFields(data).offset("checksum")
    words = bytearray(data) + bytes(len(data) % 2)
    words[field:field + 4] = bytes(4)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16)) + len(data)
