#include "headers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bytes.h"

namespace peimage {

namespace {

constexpr uint64_t kFirstPage = 4096;
constexpr uint64_t kDosHeaderSize = 0x40;
constexpr uint64_t kLfanewOffset = 0x3C;
constexpr uint64_t kOptionalHeaderOffset = 24;  // from e_lfanew: "PE\0\0" and the file header
constexpr uint64_t kSectionHeaderSize = 40;
// Offsets in the optional header, the same for PE32 and PE32+.
constexpr uint64_t kAddressOfEntryPointOffset = 16;
constexpr uint64_t kSectionAlignmentOffset = 32;
constexpr uint64_t kFileAlignmentOffset = 36;
constexpr uint64_t kSizeOfImageOffset = 56;
constexpr uint64_t kSizeOfHeadersOffset = 60;
constexpr uint64_t kCheckSumOffset = 64;
constexpr uint64_t kDllCharacteristicsOffset = 70;

// Offsets in the optional header that differ between PE32 and PE32+.
struct OptionalHeaderLayout {
  uint64_t image_base;
  uint64_t number_of_rva_and_sizes;
  uint64_t directories;
};
constexpr OptionalHeaderLayout kPe32Layout{28, 92, 96};
constexpr OptionalHeaderLayout kPe32PlusLayout{24, 108, 112};

const OptionalHeaderLayout& LayoutOf(bool pe32_plus) { return pe32_plus ? kPe32PlusLayout : kPe32Layout; }

Error PastEnd(const char* what, uint64_t offset, uint64_t length, uint64_t size) {
  return MakeError(ErrorCode::kTruncatedHeaders, "%s at offset 0x%llX (%llu bytes) runs past the end of the file (%llu bytes)",
                   what, static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length),
                   static_cast<unsigned long long>(size));
}

// The header bytes of one image: its first page, where the headers of nearly
// every image lie, read once; a range past it is read when it is asked for.
class HeaderBytes {
 public:
  explicit HeaderBytes(ImageIo& io) : io_(io), size_(io.Size()) {}

  uint64_t size() const { return size_; }

  // [offset, offset + length) of the file, valid until the next call.
  // Errors: kTruncatedHeaders, naming `what`, when it runs past the end of
  // the file; kIoError.
  Result<const uint8_t*> Read(uint64_t offset, uint64_t length, const char* what) {
    if (!RangeInside(offset, length, size_)) return PastEnd(what, offset, length, size_);
    if (!page_read_) {
      if (Status read = io_.Read(0, page_, static_cast<size_t>(std::min(kFirstPage, size_))); !read.ok()) {
        return read.error();
      }
      page_read_ = true;
    }
    if (RangeInside(offset, length, std::min(kFirstPage, size_))) return page_ + offset;
    beyond_.resize(static_cast<size_t>(length));
    if (Status read = io_.Read(offset, beyond_.data(), beyond_.size()); !read.ok()) return read.error();
    return beyond_.data();
  }

 private:
  ImageIo& io_;
  const uint64_t size_;
  bool page_read_ = false;
  uint8_t page_[kFirstPage];
  std::vector<uint8_t> beyond_;
};

// e_lfanew, from a DOS header with "MZ", when it leaves room for "PE\0\0".
Result<uint32_t> ReadLfanew(HeaderBytes& file) {
  const uint64_t size = file.size();
  if (size < 2) {
    return MakeError(ErrorCode::kNotPeImage, "file of %llu bytes has no \"MZ\" signature",
                     static_cast<unsigned long long>(size));
  }
  Result<const uint8_t*> mz = file.Read(0, 2, "DOS signature");
  if (!mz.ok()) return mz.error();
  if (mz.value()[0] != 'M' || mz.value()[1] != 'Z') {
    return MakeError(ErrorCode::kNotPeImage, "DOS signature 0x%02X%02X is not \"MZ\"", mz.value()[1], mz.value()[0]);
  }
  Result<const uint8_t*> dos = file.Read(0, kDosHeaderSize, "DOS header");
  if (!dos.ok()) return dos.error();
  const uint32_t lfanew = LoadLe<uint32_t>(dos.value() + kLfanewOffset);
  if (!RangeInside(lfanew, 4, size)) {
    return MakeError(ErrorCode::kNotPeImage, "e_lfanew 0x%X leaves no room for the \"PE\" signature in a %llu-byte file",
                     lfanew, static_cast<unsigned long long>(size));
  }
  return lfanew;
}

Result<BaseFields> ReadBase(HeaderBytes& file) {
  const uint64_t size = file.size();
  Result<uint32_t> read_lfanew = ReadLfanew(file);
  if (!read_lfanew.ok()) return read_lfanew.error();
  const uint32_t lfanew = read_lfanew.value();
  // What lies past the end of the file reads as zero, as the loader maps it.
  uint8_t nt[kOptionalHeaderOffset + kSizeOfImageOffset + 4] = {};
  const uint64_t present = std::min<uint64_t>(sizeof nt, size - lfanew);
  Result<const uint8_t*> read = file.Read(lfanew, present, "NT headers");
  if (!read.ok()) return read.error();
  std::memcpy(nt, read.value(), static_cast<size_t>(present));
  if (LoadLe<uint32_t>(nt) != 0x00004550) {
    return MakeError(ErrorCode::kNotPeImage, "signature 0x%08X at e_lfanew 0x%X is not \"PE\\0\\0\"", LoadLe<uint32_t>(nt),
                     lfanew);
  }
  const uint8_t* optional = nt + kOptionalHeaderOffset;
  const uint64_t optional_offset = uint64_t{lfanew} + kOptionalHeaderOffset;
  if (!RangeInside(optional_offset, 2, size)) return PastEnd("optional header Magic", optional_offset, 2, size);
  const uint16_t magic = LoadLe<uint16_t>(optional);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
    return MakeError(ErrorCode::kInconsistentHeaders, "optional header Magic 0x%X is neither 0x10B nor 0x20B", magic);
  }
  BaseFields fields;
  fields.lfanew = lfanew;
  fields.pe32_plus = magic == kMagicPe32Plus;
  const uint64_t image_base = LayoutOf(fields.pe32_plus).image_base;
  const unsigned width = fields.pe32_plus ? 8 : 4;
  if (!RangeInside(optional_offset + image_base, width, size)) {
    return PastEnd("ImageBase", optional_offset + image_base, width, size);
  }
  fields.image_base = fields.pe32_plus ? LoadLe<uint64_t>(optional + image_base) : LoadLe<uint32_t>(optional + image_base);
  fields.size_of_image = LoadLe<uint32_t>(optional + kSizeOfImageOffset);
  return fields;
}

// The NT headers may begin inside the DOS header, as in the smallest
// hand-made programs, where e_lfanew is also a field of theirs. A rebase
// must then not rewrite those bytes: the NT headers would move.
Status CheckRewrittenFieldsClearOfLfanew(const ImageHeaders& headers) {
  const struct {
    const char* name;
    uint64_t offset;
    unsigned width;
  } fields[] = {{"TimeDateStamp", headers.time_date_stamp_offset, 4},
                {"ImageBase", headers.image_base_offset, headers.address_width()},
                {"CheckSum", headers.checksum_offset, 4}};
  for (const auto& field : fields) {
    if (field.offset < kLfanewOffset + 4 && kLfanewOffset < field.offset + field.width) {
      return MakeError(ErrorCode::kInconsistentHeaders, "%s at offset 0x%llX lies over e_lfanew at 0x%llX", field.name,
                       static_cast<unsigned long long>(field.offset), static_cast<unsigned long long>(kLfanewOffset));
    }
  }
  return {};
}

Status ReadOptionalHeader(HeaderBytes& file, uint64_t offset, uint16_t size, ImageHeaders& headers) {
  Result<const uint8_t*> read = file.Read(offset, size, "optional header");
  if (!read.ok()) return read.error();
  const uint8_t* optional = read.value();
  const OptionalHeaderLayout& layout = LayoutOf(headers.pe32_plus);
  if (size < layout.directories) {
    return MakeError(ErrorCode::kInconsistentHeaders, "SizeOfOptionalHeader %u is below %u for %s", size,
                     static_cast<unsigned>(layout.directories), headers.pe32_plus ? "PE32+" : "PE32");
  }
  headers.entry_point = LoadLe<uint32_t>(optional + kAddressOfEntryPointOffset);
  headers.size_of_headers = LoadLe<uint32_t>(optional + kSizeOfHeadersOffset);
  headers.section_alignment = LoadLe<uint32_t>(optional + kSectionAlignmentOffset);
  headers.file_alignment = LoadLe<uint32_t>(optional + kFileAlignmentOffset);
  headers.checksum = LoadLe<uint32_t>(optional + kCheckSumOffset);
  headers.dll_characteristics = LoadLe<uint16_t>(optional + kDllCharacteristicsOffset);
  headers.image_base_offset = offset + layout.image_base;
  headers.checksum_offset = offset + kCheckSumOffset;

  headers.number_of_rva_and_sizes = LoadLe<uint32_t>(optional + layout.number_of_rva_and_sizes);
  const uint64_t room = std::min<uint64_t>((size - layout.directories) / 8, headers.directories.size());
  const uint64_t count = std::min<uint64_t>(headers.number_of_rva_and_sizes, room);
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* at = optional + layout.directories + 8 * i;
    headers.directories[i] = DataDirectory{LoadLe<uint32_t>(at), LoadLe<uint32_t>(at + 4)};
  }
  return {};
}

// The base relocation directory's entry at its fixed place, when the
// counts leave it out: past the end of the file the loader reads zeros.
Status ReadUnreadRelocations(HeaderBytes& file, uint64_t optional, ImageHeaders& headers) {
  if (headers.directories[kBaseRelocationDirectory].address != 0 ||
      headers.directories[kBaseRelocationDirectory].size != 0) {
    return {};
  }
  const uint64_t at = optional + LayoutOf(headers.pe32_plus).directories + 8 * kBaseRelocationDirectory;
  uint8_t entry[8] = {};
  const uint64_t present = at < file.size() ? std::min<uint64_t>(8, file.size() - at) : 0;
  if (present != 0) {
    Result<const uint8_t*> read = file.Read(at, present, "base relocation directory entry");
    if (!read.ok()) return read.error();
    std::memcpy(entry, read.value(), static_cast<size_t>(present));
  }
  headers.unread_relocations = DataDirectory{LoadLe<uint32_t>(entry), LoadLe<uint32_t>(entry + 4)};
  return {};
}

// A name from the file goes into messages and onto a terminal: what is not
// plain printable text is shown as its byte values.
void PrintableName(const uint8_t* stored, char (&name)[33]) {
  char* out = name;
  for (unsigned i = 0; i < 8 && stored[i] != 0; ++i) {
    uint8_t c = stored[i];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      *out++ = static_cast<char>(c);
    } else {
      out += std::snprintf(out, 5, "\\x%02X", c);
    }
  }
  *out = 0;
}

Status ReadSectionTable(HeaderBytes& file, uint64_t offset, uint16_t count, ImageHeaders& headers) {
  Result<const uint8_t*> read = file.Read(offset, kSectionHeaderSize * count, "section table");
  if (!read.ok()) return read.error();
  headers.sections.resize(count);
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* at = read.value() + kSectionHeaderSize * i;
    RawSection& section = headers.sections[i];
    PrintableName(at, section.name);
    section.virtual_size = LoadLe<uint32_t>(at + 8);
    section.virtual_address = LoadLe<uint32_t>(at + 12);
    section.size_of_raw_data = LoadLe<uint32_t>(at + 16);
    section.pointer_to_raw_data = LoadLe<uint32_t>(at + 20);
    section.characteristics = LoadLe<uint32_t>(at + 36);
  }
  headers.headers_end = offset + kSectionHeaderSize * count;
  return {};
}

}  // namespace

Result<BaseFields> ReadBaseFields(ImageIo& io) {
  HeaderBytes file(io);
  return ReadBase(file);
}

Result<ImageHeaders> ParseHeaders(ImageIo& io) {
  HeaderBytes file(io);
  Result<BaseFields> base = ReadBase(file);
  if (!base.ok()) return base.error();
  ImageHeaders headers;
  static_cast<BaseFields&>(headers) = base.value();
  headers.file_size = file.size();

  // The file header lies inside the file: the Magic after it does.
  const uint64_t nt_offset = headers.lfanew;
  Result<const uint8_t*> nt = file.Read(nt_offset, kOptionalHeaderOffset, "NT headers");
  if (!nt.ok()) return nt.error();
  const uint16_t number_of_sections = LoadLe<uint16_t>(nt.value() + 6);
  headers.time_date_stamp = LoadLe<uint32_t>(nt.value() + 8);
  const uint16_t size_of_optional_header = LoadLe<uint16_t>(nt.value() + 20);
  headers.characteristics = LoadLe<uint16_t>(nt.value() + 22);
  headers.time_date_stamp_offset = nt_offset + 8;

  const uint64_t optional = nt_offset + kOptionalHeaderOffset;
  headers.size_of_optional_header = size_of_optional_header;
  if (Status s = ReadOptionalHeader(file, optional, size_of_optional_header, headers); !s.ok()) return s.error();
  if (Status s = ReadUnreadRelocations(file, optional, headers); !s.ok()) return s.error();
  if (Status s = CheckRewrittenFieldsClearOfLfanew(headers); !s.ok()) return s.error();
  if (Status s = ReadSectionTable(file, optional + size_of_optional_header, number_of_sections, headers); !s.ok()) {
    return s.error();
  }
  return headers;
}

}  // namespace peimage
