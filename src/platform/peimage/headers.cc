#include "headers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "byte_view.h"

namespace peimage {

namespace {

constexpr uint64_t kDosHeaderSize = 0x40;
constexpr uint64_t kLfanewOffset = 0x3C;
constexpr uint64_t kOptionalHeaderOffset = 24;  // from e_lfanew: "PE\0\0" and the file header
constexpr uint64_t kSectionHeaderSize = 40;

struct OptionalHeaderLayout {
  uint64_t image_base;
  unsigned image_base_width;
  uint64_t number_of_rva_and_sizes;
  uint64_t directories;
};

constexpr OptionalHeaderLayout kPe32Layout{28, 4, 92, 96};
constexpr OptionalHeaderLayout kPe32PlusLayout{24, 8, 108, 112};
constexpr uint64_t kSizeOfImageOffset = 56;
constexpr uint64_t kSizeOfHeadersOffset = 60;
constexpr uint64_t kCheckSumOffset = 64;
constexpr uint64_t kAddressOfEntryPointOffset = 16;
constexpr uint64_t kDllCharacteristicsOffset = 70;

using Bytes = std::vector<uint8_t>;

Result<Bytes> ReadBytes(ImageIo& io, uint64_t offset, uint64_t length, const char* what) {
  if (!RangeInside(offset, length, io.Size())) {
    return MakeError(ErrorCode::kTruncatedHeaders,
                     "%s at offset 0x%llX (%llu bytes) runs past the end of the file (%llu bytes)", what,
                     static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length),
                     static_cast<unsigned long long>(io.Size()));
  }
  Bytes bytes(static_cast<size_t>(length));
  Status read = io.Read(offset, bytes.data(), bytes.size());
  if (!read.ok()) return read.error();
  return bytes;
}

Status ReadLfanew(ImageIo& io, uint32_t& lfanew) {
  if (io.Size() < 2) return MakeError(ErrorCode::kNotPeImage, "file of %llu bytes has no \"MZ\" signature",
                                      static_cast<unsigned long long>(io.Size()));
  Result<Bytes> mz = ReadBytes(io, 0, 2, "DOS signature");
  if (!mz.ok()) return mz.error();
  if (mz.value()[0] != 'M' || mz.value()[1] != 'Z') {
    return MakeError(ErrorCode::kNotPeImage, "DOS signature 0x%02X%02X is not \"MZ\"", mz.value()[1],
                     mz.value()[0]);
  }
  Result<Bytes> dos = ReadBytes(io, 0, kDosHeaderSize, "DOS header");
  if (!dos.ok()) return dos.error();
  lfanew = *ByteView(dos.value().data(), dos.value().size()).U32(kLfanewOffset);
  return {};
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

void ReadDirectories(ByteView optional, const OptionalHeaderLayout& layout, ImageHeaders& headers) {
  uint32_t declared = *optional.U32(layout.number_of_rva_and_sizes);
  uint64_t fitting = (optional.size() - layout.directories) / 8;
  uint64_t count = std::min<uint64_t>(declared, fitting);
  auto directory = [&](unsigned index) -> std::optional<DataDirectory> {
    if (index >= count) return std::nullopt;
    uint64_t at = layout.directories + 8ull * index;
    return DataDirectory{*optional.U32(at), *optional.U32(at + 4)};
  };
  headers.certificate_table = directory(kCertificateDirectory);
  headers.base_relocation_table = directory(kBaseRelocationDirectory);
  headers.resource_table = directory(kResourceDirectory);
  headers.tls_table = directory(kTlsDirectory);
  headers.load_config_table = directory(kLoadConfigDirectory);
  headers.delay_import_table = directory(kDelayImportDirectory);
}

Status ReadOptionalHeader(ImageIo& io, uint64_t offset, uint16_t size, ImageHeaders& headers) {
  Result<Bytes> bytes = ReadBytes(io, offset, size, "optional header");
  if (!bytes.ok()) return bytes.error();
  ByteView optional(bytes.value().data(), bytes.value().size());
  const OptionalHeaderLayout& layout = headers.pe32_plus ? kPe32PlusLayout : kPe32Layout;
  if (size < layout.directories) {
    return MakeError(ErrorCode::kInconsistentHeaders, "SizeOfOptionalHeader %u is below %u for %s", size,
                     static_cast<unsigned>(layout.directories), headers.pe32_plus ? "PE32+" : "PE32");
  }
  headers.size_of_headers = *optional.U32(kSizeOfHeadersOffset);
  headers.checksum = *optional.U32(kCheckSumOffset);
  headers.entry_point = *optional.U32(kAddressOfEntryPointOffset);
  headers.dll_characteristics = *optional.U16(kDllCharacteristicsOffset);
  headers.image_base_offset = offset + layout.image_base;
  headers.checksum_offset = offset + kCheckSumOffset;
  ReadDirectories(optional, layout, headers);
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

Status ReadSectionTable(ImageIo& io, uint64_t offset, uint16_t count, ImageHeaders& headers) {
  Result<Bytes> bytes = ReadBytes(io, offset, kSectionHeaderSize * count, "section table");
  if (!bytes.ok()) return bytes.error();
  ByteView table(bytes.value().data(), bytes.value().size());
  headers.sections.resize(count);
  for (uint16_t i = 0; i < count; ++i) {
    RawSection& section = headers.sections[i];
    uint64_t at = kSectionHeaderSize * i;
    PrintableName(table.data() + at, section.name);
    section.virtual_size = *table.U32(at + 8);
    section.virtual_address = *table.U32(at + 12);
    section.size_of_raw_data = *table.U32(at + 16);
    section.pointer_to_raw_data = *table.U32(at + 20);
    section.characteristics = *table.U32(at + 36);
  }
  headers.headers_end = offset + bytes.value().size();
  return {};
}

}  // namespace

Result<BaseFields> ReadBaseFields(ImageIo& io) {
  uint32_t lfanew = 0;
  if (Status dos = ReadLfanew(io, lfanew); !dos.ok()) return dos.error();
  const uint64_t size = io.Size();
  if (!RangeInside(lfanew, 4, size)) {
    return MakeError(ErrorCode::kNotPeImage, "e_lfanew 0x%X leaves no room for the \"PE\" signature in a %llu-byte file",
                     lfanew, static_cast<unsigned long long>(size));
  }
  // What lies past the end of the file reads as zero, as the loader maps it.
  Bytes nt(kOptionalHeaderOffset + kSizeOfImageOffset + 4, 0);
  Status read = io.Read(lfanew, nt.data(), static_cast<size_t>(std::min<uint64_t>(nt.size(), size - lfanew)));
  if (!read.ok()) return read.error();
  ByteView view(nt.data(), nt.size());
  if (*view.U32(0) != 0x00004550) {
    return MakeError(ErrorCode::kNotPeImage, "signature 0x%08X at e_lfanew 0x%X is not \"PE\\0\\0\"", *view.U32(0), lfanew);
  }
  const uint64_t optional = uint64_t{lfanew} + kOptionalHeaderOffset;
  auto past_end = [&](const char* field, uint64_t offset, unsigned width) {
    return MakeError(ErrorCode::kTruncatedHeaders, "%s at offset 0x%llX (%u bytes) runs past the end of the file (%llu bytes)",
                     field, static_cast<unsigned long long>(offset), width, static_cast<unsigned long long>(size));
  };
  if (!RangeInside(optional, 2, size)) return past_end("optional header Magic", optional, 2);
  uint16_t magic = *view.U16(kOptionalHeaderOffset);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
    return MakeError(ErrorCode::kInconsistentHeaders, "optional header Magic 0x%X is neither 0x10B nor 0x20B", magic);
  }
  BaseFields fields;
  fields.lfanew = lfanew;
  fields.pe32_plus = magic == kMagicPe32Plus;
  const OptionalHeaderLayout& layout = fields.pe32_plus ? kPe32PlusLayout : kPe32Layout;
  if (!RangeInside(optional + layout.image_base, layout.image_base_width, size)) {
    return past_end("ImageBase", optional + layout.image_base, layout.image_base_width);
  }
  fields.image_base = *view.Read(kOptionalHeaderOffset + layout.image_base, layout.image_base_width);
  fields.size_of_image = *view.U32(kOptionalHeaderOffset + kSizeOfImageOffset);
  return fields;
}

Result<ImageHeaders> ParseHeaders(ImageIo& io) {
  Result<BaseFields> fields = ReadBaseFields(io);
  if (!fields.ok()) return fields.error();
  const uint32_t lfanew = fields.value().lfanew;
  ImageHeaders headers;
  headers.file_size = io.Size();
  headers.pe32_plus = fields.value().pe32_plus;
  headers.image_base = fields.value().image_base;
  headers.size_of_image = fields.value().size_of_image;

  // The file header lies inside the file: the Magic after it does.
  Result<Bytes> nt = ReadBytes(io, lfanew, kOptionalHeaderOffset, "NT headers");
  if (!nt.ok()) return nt.error();
  ByteView view(nt.value().data(), nt.value().size());
  headers.machine = *view.U16(4);
  uint16_t number_of_sections = *view.U16(6);
  headers.time_date_stamp = *view.U32(8);
  uint16_t size_of_optional_header = *view.U16(20);
  headers.characteristics = *view.U16(22);
  headers.time_date_stamp_offset = uint64_t{lfanew} + 8;

  uint64_t optional_offset = uint64_t{lfanew} + kOptionalHeaderOffset;
  if (Status optional = ReadOptionalHeader(io, optional_offset, size_of_optional_header, headers); !optional.ok()) {
    return optional.error();
  }
  if (Status clear = CheckRewrittenFieldsClearOfLfanew(headers); !clear.ok()) return clear.error();
  if (Status sections = ReadSectionTable(io, optional_offset + size_of_optional_header, number_of_sections, headers);
      !sections.ok()) {
    return sections.error();
  }
  return headers;
}

}  // namespace peimage
