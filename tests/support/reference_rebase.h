#ifndef DORVANE_TESTS_REFERENCE_REBASE_H
#define DORVANE_TESTS_REFERENCE_REBASE_H

#include <cstdint>
#include <optional>
#include <vector>

#include "peimage/error.h"
#include "peimage/rebaser.h"

namespace testing_support {

/// What a rebase must leave: the refusal's code, or the rebased bytes.
struct ReferenceOutcome {
  std::optional<peimage::ErrorCode> error;
  std::vector<uint8_t> bytes;  // the rebased image; the original when refused
};

/// The rebase of `image` to `options.new_base`, worked out the plain way, as
/// a test oracle for the engine: the whole image in memory, the relocation
/// table walked in table order, every target claimed in a bitmap of the file,
/// each type's arithmetic written out from the format, the checksum computed
/// from its definition. It reads the headers, sections and blocks with code
/// of its own, and checks in the engine's order, so that both refuse an
/// image with the same code.
ReferenceOutcome ReferenceRebase(const std::vector<uint8_t>& image, const peimage::RebaseOptions& options);

}  // namespace testing_support

#endif
