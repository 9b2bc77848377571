#ifndef DORVANE_PEIMAGE_RELOCATION_PATCH_H
#define DORVANE_PEIMAGE_RELOCATION_PATCH_H

#include <cstdint>

#include "little_endian.h"
#include "result.h"

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
  static Result<Delta> Between(uint64_t old_base, uint64_t new_base, bool pe32_plus);

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
/// `target`, whose RelocationWidth(kType) bytes the caller has checked.
/// `high_adj_low` is HIGHADJ's second entry: the signed low half of the
/// 32-bit value whose high half is at `target`.
/// (The delta comes by value: a copy that no store through `target` can
/// alias, so that a loop of patches keeps it in registers.)
template <unsigned kType>
inline void ApplyRelocation(uint8_t* target, Delta delta, uint16_t high_adj_low = 0) {
  static_assert(RelocationWidth(kType) != 0, "not a relocation type the engine applies");
  const uint32_t d = delta.low32();
  if constexpr (kType == kRelHigh) {
    StoreLeFixed<2>(target, LoadLeFixed<2>(target) + (d >> 16));
  } else if constexpr (kType == kRelLow) {
    StoreLeFixed<2>(target, LoadLeFixed<2>(target) + (d & 0xFFFF));
  } else if constexpr (kType == kRelHighLow) {
    StoreLeFixed<4>(target, LoadLeFixed<4>(target) + d);
  } else if constexpr (kType == kRelHighAdj) {
    // The low half is signed: +0x8000 rounds the sum to the nearest high half.
    uint32_t full = static_cast<uint32_t>(LoadLeFixed<2>(target) << 16) +
                    static_cast<uint32_t>(int32_t{static_cast<int16_t>(high_adj_low)});
    StoreLeFixed<2>(target, (full + d + 0x8000u) >> 16);
  } else {
    StoreLeFixed<8>(target, LoadLeFixed<8>(target) + delta.wide());
  }
}

/// ApplyRelocation for a `type` known only at run time; false, changing
/// nothing, for a type the engine does not apply.
inline bool ApplyRelocationOfType(unsigned type, uint8_t* target, Delta delta, uint16_t high_adj_low) {
  switch (type) {
    case kRelHigh:
      ApplyRelocation<kRelHigh>(target, delta);
      return true;
    case kRelLow:
      ApplyRelocation<kRelLow>(target, delta);
      return true;
    case kRelHighLow:
      ApplyRelocation<kRelHighLow>(target, delta);
      return true;
    case kRelHighAdj:
      ApplyRelocation<kRelHighAdj>(target, delta, high_adj_low);
      return true;
    case kRelDir64:
      ApplyRelocation<kRelDir64>(target, delta);
      return true;
    default:
      return false;
  }
}

}  // namespace peimage

#endif
