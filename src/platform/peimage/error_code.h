#ifndef DORVANE_PEIMAGE_ERROR_CODE_H
#define DORVANE_PEIMAGE_ERROR_CODE_H

namespace peimage {

/// Every way the engine can refuse or fail. The values are stable: they are
/// reported to callers as numbers.
enum class ErrorCode {
  kIoError = 1,           // reading or writing the file failed
  kNotPeImage,            // no "MZ" or no "PE\0\0" signature
  kTruncatedHeaders,      // a header or the section table runs past the file
  kInconsistentHeaders,   // header fields contradict each other
  kBadSectionTable,       // sections overlap, run past the file or the image
  kRelocationsStripped,   // no relocations where addresses are held, and the base would change
  kBadRelocationTable,    // malformed relocation directory or block
  kRelocationOutOfRange,  // a relocation target has no file bytes behind it
  kUnsupportedRelocation, // a relocation type the engine does not apply
  kBadRequestedBase,      // zero, not 64 KiB aligned, or past 4 GiB for PE32
  kSystemImage,           // IMAGE_FILE_SYSTEM and system files are not allowed
  kSignedImage,           // the certificate table is not empty
  kImageTooLarge,         // the new size exceeds the caller's limit
  kBaseOutOfRange,        // the image base does not fit the caller's 32-bit output
  kPartiallyWritten,      // a write failed and the original bytes could not be restored
};

/// Number of the last ErrorCode, for tables indexed by code.
constexpr int kLastErrorCode = static_cast<int>(ErrorCode::kPartiallyWritten);

/// A one-line English description of `code`, or nullptr for an unknown value.
const char* DescribeErrorCode(int code);

}  // namespace peimage

#endif
