#include "relocation_patch.h"

namespace peimage {

namespace {
constexpr uint64_t kAllocationGranularity = 0x10000;
}  // namespace

Result<Delta> Delta::Between(uint64_t old_base, uint64_t new_base, bool pe32_plus) {
  // The new base is a multiple of 64 KiB, so the delta is one exactly when
  // the old base is.
  if ((new_base - old_base) % kAllocationGranularity != 0) {
    return MakeError(ErrorCode::kInconsistentHeaders, "ImageBase 0x%llX is not a multiple of 64 KiB",
                     static_cast<unsigned long long>(old_base));
  }
  uint64_t delta = new_base - old_base;
  uint32_t low32 = static_cast<uint32_t>(delta);
  uint64_t wide = pe32_plus ? delta : static_cast<uint64_t>(int64_t{static_cast<int32_t>(low32)});
  return Delta(low32, wide);
}

}  // namespace peimage
