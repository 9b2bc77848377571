// libFuzzer target for the image engine. For each input it checks the
// engine's promises, not only that nothing crashes:
// - a query and a rebase either succeed or fail with a known code;
// - a failed rebase leaves every byte as it was;
// - the engine agrees with the tests' reference rebase, byte for byte and
//   error code for error code;
// - a rebased image parses again at its new base, and moving it back
//   restores the original bytes except the time stamp and checksum fields.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "peimage/error.h"
#include "peimage/headers.h"
#include "peimage/rebaser.h"
#include "support/memory_image_io.h"
#include "support/reference_rebase.h"

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

void RequireKnownCode(const peimage::Error& error) {
  Require(peimage::DescribeErrorCode(static_cast<int>(error.code)) != nullptr, "unknown error code");
  Require(!error.message.empty(), "error without a message");
}

// Every byte equal except the 4-byte fields at `a` and `b`.
bool EqualExceptFields(const std::vector<uint8_t>& x, const std::vector<uint8_t>& y, uint64_t a, uint64_t b) {
  auto in_field = [&](size_t i) { return (i >= a && i - a < 4) || (i >= b && i - b < 4); };
  return x.size() == y.size() && testing_support::FirstChangeOutside(x, y, in_field) == x.size();
}

uint64_t PickBase(const std::vector<uint8_t>& input) {
  // A base that depends on the input, so the fuzzer explores deltas too.
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < input.size() && i < 64; ++i) hash = (hash ^ input[i]) * 16777619u;
  uint64_t base = uint64_t{hash & 0x7FFF} << 16;
  return base == 0 ? 0x10000 : base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> original(data, data + size);

  testing_support::MemoryImageIo query_io(original);
  peimage::Result<peimage::ImageReport> query = peimage::QueryImage(query_io);
  if (!query.ok()) RequireKnownCode(query.error());
  Require(query_io.bytes() == original, "a query changed the image");

  testing_support::MemoryImageIo io(original);
  const peimage::RebaseOptions options = testing_support::To(PickBase(original));
  peimage::Result<peimage::ImageReport> rebased = testing_support::Rebase(io, options);
  testing_support::ReferenceOutcome expected = testing_support::ReferenceRebase(original, options);
  Require(expected.error.has_value() != rebased.ok(), "the engine and the reference disagree on success");
  Require(expected.bytes == io.bytes(), "the engine and the reference wrote different bytes");
  Require(rebased.ok() || *expected.error == rebased.error().code, "the engine and the reference fail differently");
  if (!rebased.ok()) {
    RequireKnownCode(rebased.error());
    Require(io.bytes() == original, "a refused rebase changed the image");
    return 0;
  }
  Require(query.ok(), "a rebase succeeded where a query failed");
  uint64_t old_base = rebased.value().old_image_base;
  if (old_base == options.new_base) {
    Require(io.bytes() == original, "a rebase to the same base changed the image");
    return 0;
  }

  testing_support::MemoryImageIo again(io.bytes());
  peimage::Result<peimage::ImageReport> requery = peimage::QueryImage(again);
  Require(requery.ok() && requery.value().old_image_base == options.new_base, "the rebased image does not parse");

  peimage::Result<peimage::ImageHeaders> headers = peimage::ParseHeaders(again);
  Require(headers.ok(), "the rebased headers do not parse");
  peimage::Result<peimage::ImageReport> returned = testing_support::Rebase(again, testing_support::To(old_base));
  if (!returned.ok()) {
    // The original base may itself be one that no image may be moved to.
    // And an image without relocations moves only while none of its values
    // points into it: at the new base, some may.
    bool without_relocations = headers.value().directories[peimage::kBaseRelocationDirectory].size == 0;
    Require(returned.error().code == peimage::ErrorCode::kBadRequestedBase ||
                (without_relocations && returned.error().code == peimage::ErrorCode::kRelocationsStripped),
            "moving back was refused");
    return 0;
  }
  Require(EqualExceptFields(again.bytes(), original, headers.value().time_date_stamp_offset,
                            headers.value().checksum_offset),
          "moving back did not restore the image");
  return 0;
}
