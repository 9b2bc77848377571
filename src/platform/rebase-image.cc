// ReBaseImage over the project's own image engine.

#include <cerrno>
#include <limits>
#include <memory>

#include "files.h"
#include "image_engine.h"
#include "peimage/rebaser.h"

namespace {

constexpr uint64_t kMaxUlong = 0xFFFFFFFFu;
constexpr uint64_t kMaxUlongPtr = std::numeric_limits<ULONG_PTR>::max();

BOOL Fail(const peimage::Error& error) {
  SetEngineFailure(error);
  return FALSE;
}

// The buffers of every rebase of the run: allocated and faulted in once.
peimage::Workspace RunWorkspace;

}  // namespace

BOOL DorvaneReBaseImage(PCSTR CurrentImageName, PCSTR, BOOL fReBase, BOOL RebaseSysfileOk, BOOL GoingDown,
                        ULONG CheckImageSize, ULONG* OldImageSize, ULONG_PTR* OldImageBase, ULONG* NewImageSize,
                        ULONG_PTR* NewImageBase, ULONG TimeStamp) {
  if (CurrentImageName == nullptr || OldImageSize == nullptr || OldImageBase == nullptr ||
      NewImageSize == nullptr || NewImageBase == nullptr) {
    SetLastError(EINVAL);
    return FALSE;
  }
  peimage::Result<std::unique_ptr<peimage::ImageIo>> io = OpenImageFile(CurrentImageName, fReBase);
  if (!io.ok()) return Fail(io.error());
  uint64_t limit = CheckImageSize != 0 ? CheckImageSize : kMaxUlong;

  peimage::Result<peimage::ImageReport> report = peimage::ImageReport{};
  if (!fReBase || GoingDown) {
    report = peimage::QueryImage(*io.value(), limit);
    if (!report.ok()) return Fail(report.error());
  }
  if (fReBase) {
    peimage::RebaseOptions options;
    // Going down, the image ends where the given base is and the caller is
    // handed the base it got.
    options.new_base = GoingDown ? uint64_t{*NewImageBase} - report.value().new_image_size : *NewImageBase;
    options.time_stamp = TimeStamp;
    options.allow_system_image = RebaseSysfileOk;
    options.max_image_size = limit;
    report = peimage::RebaseImage(*io.value(), options, RunWorkspace);
    if (!report.ok()) return Fail(report.error());
    if (GoingDown) *NewImageBase = static_cast<ULONG_PTR>(options.new_base);
  } else if (report.value().old_image_base > kMaxUlongPtr) {
    // Only where ULONG_PTR has 32 bits: a query must not report a cut base.
    return Fail(peimage::MakeError(peimage::ErrorCode::kBaseOutOfRange, "ImageBase 0x%llX is above 4 GiB",
                                   static_cast<unsigned long long>(report.value().old_image_base)));
  }
  *OldImageSize = report.value().old_image_size;
  *OldImageBase = static_cast<ULONG_PTR>(report.value().old_image_base);
  *NewImageSize = static_cast<ULONG>(report.value().new_image_size);
  return TRUE;
}

void SetBaseOutOfRangeError(uint64_t base) {
  SetEngineFailure(peimage::MakeError(peimage::ErrorCode::kBadRequestedBase, "requested base 0x%llX lies beyond 4 GiB",
                                      static_cast<unsigned long long>(base)));
}
