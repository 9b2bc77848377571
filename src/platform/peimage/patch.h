#ifndef DORVANE_PEIMAGE_PATCH_H
#define DORVANE_PEIMAGE_PATCH_H

#include <cstdint>
#include <type_traits>

#include "bytes.h"
#include "error.h"
#include "headers.h"

namespace peimage {

/// Base relocation types that the engine applies.
enum RelocationType : uint8_t {
  kRelAbsolute = 0,
  kRelHigh = 1,
  kRelLow = 2,
  kRelHighLow = 3,
  kRelHighAdj = 4,
  kRelDir64 = 10,
};

/// Width in bytes of the value that a relocation of `type` patches; 0 for
/// ABSOLUTE and for types the engine does not apply.
constexpr unsigned RelocationWidth(unsigned type) {
  switch (type) {
    case kRelHigh:
    case kRelLow:
    case kRelHighAdj:
      return 2;
    case kRelHighLow:
      return 4;
    case kRelDir64:
      return 8;
    default:
      return 0;
  }
}

/// What a rebase adds to the addresses in an image: the new base minus the
/// old, in the image's address width (a PE32 delta wraps modulo 2^32 and
/// reaches 64-bit fields sign-extended). It is always a multiple of 64 KiB,
/// which makes every patch exactly undone by the patch of the negated delta,
/// HIGHADJ's rounding included.
class Delta {
 public:
  /// The delta that moves an image from `old_base` to `new_base`, which the
  /// caller has checked to be a multiple of 64 KiB.
  /// Errors: kInconsistentHeaders when `old_base` is not a multiple of 64 KiB.
  static Result<Delta> Between(uint64_t old_base, uint64_t new_base, bool pe32_plus) {
    const uint64_t delta = new_base - old_base;
    if (delta % kAllocationGranularity != 0) {
      return MakeError(ErrorCode::kInconsistentHeaders, "ImageBase 0x%llX is not a multiple of 64 KiB",
                       static_cast<unsigned long long>(old_base));
    }
    const uint32_t low32 = static_cast<uint32_t>(delta);
    return Delta(low32, pe32_plus ? delta : static_cast<uint64_t>(int64_t{static_cast<int32_t>(low32)}));
  }

  /// The delta that moves the image back.
  Delta Negated() const { return Delta(0u - low32_, 0 - wide_); }

  uint32_t low32() const { return low32_; }
  uint64_t wide() const { return wide_; }

 private:
  Delta(uint32_t low32, uint64_t wide) : low32_(low32), wide_(wide) {}

  uint32_t low32_;
  uint64_t wide_;
};

/// Applies `delta` to the value that a relocation of type `kType` patches at
/// `target`, whose RelocationWidth(kType) bytes the caller has proved.
/// `high_adj_low` is HIGHADJ's second entry: the signed low half of the
/// 32-bit value whose high half is at `target`.
/// (The delta comes by value: a copy that no store through `target` can
/// alias, so that a loop of patches keeps it in registers.)
template <unsigned kType>
inline void ApplyRelocation(uint8_t* target, Delta delta, uint16_t high_adj_low = 0) {
  static_assert(RelocationWidth(kType) != 0, "not a relocation type the engine applies");
  const uint32_t d = delta.low32();
  if constexpr (kType == kRelHigh) {
    StoreLe<uint16_t>(target, static_cast<uint16_t>(LoadLe<uint16_t>(target) + (d >> 16)));
  } else if constexpr (kType == kRelLow) {
    StoreLe<uint16_t>(target, static_cast<uint16_t>(LoadLe<uint16_t>(target) + (d & 0xFFFF)));
  } else if constexpr (kType == kRelHighLow) {
    StoreLe<uint32_t>(target, LoadLe<uint32_t>(target) + d);
  } else if constexpr (kType == kRelHighAdj) {
    // The low half is signed: +0x8000 rounds the sum to the nearest high half.
    uint32_t full = (uint32_t{LoadLe<uint16_t>(target)} << 16) +
                    static_cast<uint32_t>(int32_t{static_cast<int16_t>(high_adj_low)});
    StoreLe<uint16_t>(target, static_cast<uint16_t>((full + d + 0x8000u) >> 16));
  } else {
    StoreLe<uint64_t>(target, LoadLe<uint64_t>(target) + delta.wide());
  }
}

/// The one dispatch on a relocation's type: calls
/// `patch(std::integral_constant<unsigned, type>())` for a `type` the engine
/// applies, so that the caller's code is compiled for each type.
template <typename Patch>
inline void WithRelocationType(unsigned type, Patch&& patch) {
  switch (type) {
    case kRelHigh:
      return patch(std::integral_constant<unsigned, kRelHigh>());
    case kRelLow:
      return patch(std::integral_constant<unsigned, kRelLow>());
    case kRelHighLow:
      return patch(std::integral_constant<unsigned, kRelHighLow>());
    case kRelHighAdj:
      return patch(std::integral_constant<unsigned, kRelHighAdj>());
    case kRelDir64:
      return patch(std::integral_constant<unsigned, kRelDir64>());
  }
}

}  // namespace peimage

#endif
