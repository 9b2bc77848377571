#include "relocation_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "checksum.h"
#include "file_window.h"
#include "little_endian.h"

namespace peimage {

namespace {

constexpr uint64_t kWindowCapacity = 256 * 1024;
// Ranges closer than this share a window, read and written in one call. A
// gap of untouched pages is left alone, unless the checksum reads it anyway:
// then writing it back unchanged costs less than a call per range.
constexpr uint64_t kJoinGap = 4096;

uint64_t JoinGap(const ImageHeaders& headers) { return headers.checksum != 0 ? kWindowCapacity : kJoinGap; }

/// Calls `visit(offset_in_page, type)` for each target of a block whose
/// entries have passed CheckMixedEntries.
template <typename Visit>
void ForEachTarget(const uint8_t* entries, size_t count, Visit&& visit) {
  for (size_t i = 0; i < count; ++i) {
    uint16_t entry = detail::LoadU16(entries + 2 * i);
    unsigned type = entry >> 12;
    if (type == kRelAbsolute) continue;
    visit(static_cast<uint32_t>(entry & 0xFFFu), type);
    if (type == kRelHighAdj) ++i;  // the next entry is the low half, not a target
  }
}

bool TargetsDistinct(const uint8_t* entries, size_t count) {
  uint64_t claimed[(0x1000 + 8 + 63) / 64] = {};
  bool distinct = true;
  ForEachTarget(entries, count, [&](uint32_t at, unsigned type) {
    for (uint32_t bit = at; bit < at + RelocationWidth(static_cast<uint8_t>(type)); ++bit) {
      uint64_t mask = uint64_t{1} << (bit % 64);
      if (claimed[bit / 64] & mask) distinct = false;
      claimed[bit / 64] |= mask;
    }
  });
  return distinct;
}

/// A block in the shape linkers write: targets of one type in ascending
/// order without overlap, followed by nothing but ABSOLUTE padding.
struct UniformBlock {
  unsigned type = kRelAbsolute;
  size_t count = 0;  // entries before the padding
  uint32_t low = 0, high = 0;
};

/// The shape of a block whose entries are uniform, read off its ends.
UniformBlock KnownUniform(const uint8_t* entries, size_t count) {
  while (count > 0 && (entries[2 * count - 1] >> 4) == kRelAbsolute) --count;
  if (count == 0) return UniformBlock{};
  unsigned type = detail::LoadU16(entries) >> 12;
  uint32_t low = detail::LoadU16(entries) & 0xFFFu;
  uint32_t high = (detail::LoadU16(entries + 2 * (count - 1)) & 0xFFFu) + RelocationWidth(static_cast<uint8_t>(type));
  return UniformBlock{type, count, low, high};
}

/// The block's shape when its entries are uniform; nothing otherwise.
std::optional<UniformBlock> AsUniform(const uint8_t* entries, size_t count) {
  UniformBlock block = KnownUniform(entries, count);
  if (block.count == 0) return block;
  unsigned width = RelocationWidth(static_cast<uint8_t>(block.type));
  if (width == 0 || block.type == kRelHighAdj) return std::nullopt;
  // No early exit and no bool, so that the compiler checks many entries at
  // once.
  unsigned odd = 0;
  for (size_t i = 1; i < block.count; ++i) {
    unsigned previous = detail::LoadU16(entries + 2 * (i - 1));
    unsigned entry = detail::LoadU16(entries + 2 * i);
    odd |= (entry >> 12) ^ block.type;
    odd |= (entry & 0xFFFu) < (previous & 0xFFFu) + width;
  }
  if (odd != 0) return std::nullopt;
  return block;
}

/// Whether every entry of a block has an applied type, every HIGHADJ its
/// second entry, and no two targets share a byte. Sets [low, high) to the
/// bytes of the page that the targets cover (empty for padding only).
bool CheckMixedEntries(const uint8_t* entries, size_t count, uint32_t& low, uint32_t& high) {
  low = UINT32_MAX;
  high = 0;
  bool ascending = true;  // each target after every earlier one: distinct without a bitmap
  for (size_t i = 0; i < count; ++i) {
    uint16_t entry = detail::LoadU16(entries + 2 * i);
    unsigned type = entry >> 12;
    if (type == kRelAbsolute) continue;
    unsigned width = RelocationWidth(static_cast<uint8_t>(type));
    if (width == 0) return false;
    if (type == kRelHighAdj && ++i == count) return false;
    uint32_t at = entry & 0xFFFu;
    ascending = ascending && at >= high;
    low = std::min(low, at);
    high = std::max(high, at + width);
  }
  if (high == 0) low = 0;
  return ascending || TargetsDistinct(entries, count);
}

/// What each relocation type adds to its target. The delta is a multiple of
/// 64 KiB, so HIGHADJ's rounding never carries into the high half: it adds
/// what HIGH adds, and every patch is undone by adding the negated amounts.
struct Increments {
  uint16_t high = 0;
  uint16_t low = 0;
  uint32_t word = 0;
  uint64_t dir64 = 0;

  Increments Negated() const {
    return Increments{static_cast<uint16_t>(0u - high), static_cast<uint16_t>(0u - low), 0u - word, 0 - dir64};
  }
};

void PatchMixed(uint8_t* at_low, uint32_t low, const uint8_t* entries, size_t count, const Increments& add) {
  ForEachTarget(entries, count, [&](uint32_t at, unsigned type) {
    uint8_t* p = at_low + (at - low);
    switch (type) {
      case kRelHigh:
      case kRelHighAdj:
        StoreLeFixed<2>(p, LoadLeFixed<2>(p) + add.high);
        break;
      case kRelLow:
        StoreLeFixed<2>(p, LoadLeFixed<2>(p) + add.low);
        break;
      case kRelHighLow:
        StoreLeFixed<4>(p, LoadLeFixed<4>(p) + add.word);
        break;
      default:  // kRelDir64
        StoreLeFixed<8>(p, LoadLeFixed<8>(p) + add.dir64);
        break;
    }
  });
}

template <unsigned kWidth>
void PatchUniform(uint8_t* at_low, uint32_t low, const uint8_t* entries, size_t count, uint64_t add) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t* p = at_low + ((detail::LoadU16(entries + 2 * i) & 0xFFFu) - low);
    StoreLeFixed<kWidth>(p, LoadLeFixed<kWidth>(p) + add);
  }
}

/// The file bytes [first, last) that one block patches, and its entries.
struct BlockSpan {
  uint64_t first = 0;
  uint64_t last = 0;
  uint32_t low = 0;  // offset in the page of the byte at `first`
  const uint8_t* entries = nullptr;
  size_t count = 0;
  std::optional<UniformBlock> uniform;
  bool fits = false;  // checked, and inside one section's file data
};

/// Checks a block's entries and finds the bytes of its page they cover.
bool CheckEntries(BlockSpan& span, uint32_t& high) {
  span.uniform = AsUniform(span.entries, span.count);
  if (!span.uniform) return CheckMixedEntries(span.entries, span.count, span.low, high);
  span.low = span.uniform->low;
  high = span.uniform->high;
  return true;
}

/// Adds `add` to every target of a checked block held at `at_low`.
void PatchTargets(uint8_t* at_low, const BlockSpan& span, const Increments& add) {
  if (!span.uniform) return PatchMixed(at_low, span.low, span.entries, span.count, add);
  const UniformBlock& block = *span.uniform;
  switch (block.type) {
    case kRelHigh:
      return PatchUniform<2>(at_low, span.low, span.entries, block.count, add.high);
    case kRelLow:
      return PatchUniform<2>(at_low, span.low, span.entries, block.count, add.low);
    case kRelHighLow:
      return PatchUniform<4>(at_low, span.low, span.entries, block.count, add.word);
    default:  // kRelDir64
      return PatchUniform<8>(at_low, span.low, span.entries, block.count, add.dir64);
  }
}

/// A range [begin, end) of the file.
struct Extent {
  uint64_t begin = 0;
  uint64_t end = 0;
};

/// Windows planned ahead, at 16 bytes each; a larger image plans its first
/// ones and reaches the rest span by span.
constexpr size_t kMaxPlannedWindows = 4096;

class Stream {
 public:
  Stream(ImageIo& io, const StreamedRebase& request)
      : io_(io), request_(request), headers_(request.headers), window_(io, kWindowCapacity, JoinGap(request.headers)) {
    uint64_t delta = request.new_base - headers_.image_base;
    uint32_t delta32 = static_cast<uint32_t>(delta);
    // A PE32 delta wraps modulo 2^32 and reaches 64-bit fields sign-extended.
    uint64_t dir64 = headers_.pe32_plus ? delta : static_cast<uint64_t>(int64_t{static_cast<int32_t>(delta32)});
    add_ = Increments{static_cast<uint16_t>(delta32 >> 16), static_cast<uint16_t>(delta32), delta32, dir64};
    head_length_ = std::max({headers_.image_base_offset + headers_.address_width(),
                             headers_.time_date_stamp_offset + 4, headers_.checksum_offset + 4});
    if (headers_.checksum != 0) checksum_.emplace(headers_.checksum_offset);
  }

  Result<bool> Run() {
    if (add_.low != 0 || head_length_ > io_.Size() || head_length_ > window_.capacity() / 2) return false;
    if (request_.directory && !Survey()) return false;
    if (Status s = Forward(); !s.ok()) return Undo(s.error());
    return true;
  }

 private:
  /// Calls `visit(span)` for every block with targets, in table order.
  template <typename Visit>
  Status ForEachSpan(Visit&& visit) {
    return WalkBlocks(io_, *request_.directory, [&](uint64_t, uint32_t page_rva, const uint8_t* entries, size_t count) {
      BlockSpan span{0, 0, 0, entries, count, std::nullopt, false};
      uint32_t high = 0;
      if (blocks_known_uniform_) {
        span.uniform = KnownUniform(entries, count);
        span.low = span.uniform->low;
        high = span.uniform->high;
      } else if (!CheckEntries(span, high)) {
        return visit(span);
      }
      if (high == 0) return Status();
      std::optional<uint64_t> first = request_.sections.FileOffset(uint64_t{page_rva} + span.low, high - span.low);
      if (!first) return visit(span);
      span.first = *first;
      span.last = *first + (high - span.low);
      span.fits = true;
      return visit(span);
    });
  }

  /// Checks the layout and plans the windows: ranges of the file, each read
  /// and written with one call.
  bool Survey() {
    const RelocationDirectory& table = *request_.directory;
    bool fits = true;
    bool uniform = true;
    Extent planned{0, head_length_};
    Status walk = ForEachSpan([&](const BlockSpan& span) -> Status {
      if (!fits) return {};
      uniform = uniform && span.uniform.has_value();
      fits = span.fits && span.first >= planned.end &&
             (span.last <= table.file_offset || span.first >= table.file_offset + table.size);
      if (!fits) return {};
      if (span.first - planned.end <= window_.join_gap() && span.last - planned.begin <= window_.capacity()) {
        planned.end = span.last;
      } else {
        Plan(planned);
        planned = Extent{span.first, span.last};
      }
      return {};
    });
    Plan(planned);
    // The passes that follow need not check again what cannot have changed.
    blocks_known_uniform_ = fits && walk.ok() && uniform && request_.table_read_ahead;
    // A table the walk cannot read, or one this layout does not cover, goes
    // to the general path, which reports the first fault in table order.
    return fits && walk.ok();
  }

  /// Records a window, unless the plan is full: the windows after that are
  /// found span by span.
  void Plan(const Extent& window) {
    if (windows_.size() < kMaxPlannedWindows) windows_.push_back(window);
  }

  Status Forward() {
    if (windows_.empty()) windows_.push_back(Extent{0, head_length_});
    if (Status s = window_.Start(windows_[0].begin, windows_[0].end); !s.ok()) return s;
    next_window_ = 1;
    head_original_.reset(new uint8_t[static_cast<size_t>(head_length_)]);
    std::memcpy(head_original_.get(), window_.At(0), static_cast<size_t>(head_length_));
    uint8_t* base = window_.At(headers_.image_base_offset);
    if (headers_.pe32_plus) {
      StoreLeFixed<8>(base, request_.new_base);
    } else {
      StoreLeFixed<4>(base, request_.new_base);
    }
    StoreLeFixed<4>(window_.At(headers_.time_date_stamp_offset), request_.new_time_stamp);

    if (request_.directory) {
      Status s = ForEachSpan([&](const BlockSpan& span) -> Status {
        if (!span.fits) return Changed();
        if (Status reached = Reach(span); !reached.ok()) return reached;
        PatchTargets(window_.At(span.first), span, add_);
        ++spans_patched_;
        return {};
      });
      if (!s.ok()) return s;
    }
    if (Status s = Release(); !s.ok()) return s;
    window_.Clear();
    if (Status s = SumTo(io_.Size()); !s.ok()) return s;
    if (!checksum_) return {};
    StoreLeFixed<4>(head_planned_.get() + headers_.checksum_offset, checksum_->Finish());
    head_write_tried_ = true;
    return io_.Write(0, head_planned_.get(), static_cast<size_t>(head_length_));
  }

  /// Makes a span's bytes present: the next planned window or, past the
  /// plan, the span itself, joined to the held bytes where it can be.
  Status Reach(const BlockSpan& span) {
    if (span.last <= window_.end()) return {};
    auto release = [&] { return Release(); };
    auto sum_gap = [&] { return SumTo(span.first); };
    if (next_window_ == windows_.size()) return window_.Cover(span.first, span.last, release, sum_gap);
    const Extent& next = windows_[next_window_++];
    if (span.first < next.begin || span.last > next.end) return Changed();
    if (Status s = Release(); !s.ok()) return s;
    window_.Clear();
    if (Status s = SumTo(next.begin); !s.ok()) return s;
    return window_.Start(next.begin, next.end);
  }

  /// A block that passed the survey reads differently now: someone wrote
  /// the file behind the lock's back.
  static Error Changed() {
    return MakeError(ErrorCode::kIoError, "the relocation table changed while the image was being rebased");
  }

  /// Adds the held bytes to the checksum and writes them, except the header
  /// fields: those are kept to be written last, once the checksum is known.
  Status Release() {
    if (checksum_) checksum_->Add(window_.At(window_.begin()), static_cast<size_t>(window_.end() - window_.begin()));
    summed_to_ = window_.end();
    uint64_t from = window_.begin();
    if (from == 0 && checksum_) {
      head_planned_.reset(new uint8_t[static_cast<size_t>(head_length_)]);
      std::memcpy(head_planned_.get(), window_.At(0), static_cast<size_t>(head_length_));
      from = head_length_;
    } else if (from == 0) {
      head_write_tried_ = true;  // without a checksum to wait for, the fields go with their window
    }
    any_written_ = any_written_ || from < window_.end();
    Status write = window_.WriteFrom(from);
    if (write.ok()) {
      written_to_ = window_.end();
    } else {
      failed_window_ = true;  // the window may be on disk in part; its planned bytes are still held
    }
    return write;
  }

  /// Adds the unchanged bytes from the last summed one up to `offset`.
  Status SumTo(uint64_t offset) {
    if (!checksum_) return {};
    while (summed_to_ < offset) {
      size_t length = static_cast<size_t>(std::min(offset - summed_to_, window_.capacity()));
      if (Status read = io_.Read(summed_to_, window_.scratch(), length); !read.ok()) return read;
      checksum_->Add(window_.scratch(), length);
      summed_to_ += length;
    }
    return {};
  }

  /// Puts back the original bytes of everything written after a failure:
  /// the written windows are read back and their patches subtracted, the
  /// window whose write failed is un-patched in memory, the header fields
  /// come from their copy.
  Error Undo(Error cause) {
    if (!any_written_ && !head_write_tried_) return cause;
    Status undo = UndoWindows();
    if (undo.ok() && head_write_tried_) undo = io_.Write(0, head_original_.get(), static_cast<size_t>(head_length_));
    if (undo.ok()) return cause;
    return MakeError(ErrorCode::kPartiallyWritten, "%s; restoring the original bytes failed too: %s",
                     cause.message.c_str(), undo.error().message.c_str());
  }

  Status UndoWindows() {
    if (!request_.directory) return {};
    Increments subtract = add_.Negated();
    uint64_t held_begin = failed_window_ ? window_.begin() : UINT64_MAX;
    FileWindow readback(io_, kWindowCapacity, kJoinGap);
    auto write_back = [&] { return readback.WriteFrom(readback.begin()); };
    auto nothing = [] { return Status(); };
    size_t seen = 0;
    Status walk = ForEachSpan([&](const BlockSpan& span) -> Status {
      if (seen++ >= spans_patched_) return {};  // the forward pass stopped before this one
      if (!span.fits) return Changed();
      if (span.first < head_length_) return {};  // never written
      if (span.last <= written_to_) {
        if (Status s = readback.Cover(span.first, span.last, write_back, nothing); !s.ok()) return s;
        PatchTargets(readback.At(span.first), span, subtract);
      } else if (span.first >= held_begin && span.last <= window_.end()) {
        PatchTargets(window_.At(span.first), span, subtract);
      }
      return {};
    });
    if (walk.ok() && !readback.empty()) walk = write_back();
    if (walk.ok() && failed_window_) walk = window_.WriteFrom(std::max(window_.begin(), head_length_));
    return walk;
  }

  ImageIo& io_;
  const StreamedRebase& request_;
  const ImageHeaders& headers_;
  FileWindow window_;
  Increments add_;
  uint64_t head_length_ = 0;  // the bytes up to the last header field
  std::unique_ptr<uint8_t[]> head_original_;
  std::unique_ptr<uint8_t[]> head_planned_;
  std::optional<ChecksumAccumulator> checksum_;
  std::vector<Extent> windows_;  // the first planned ones, the header fields' first
  size_t next_window_ = 0;
  size_t spans_patched_ = 0;
  bool blocks_known_uniform_ = false;  // every block passed AsUniform, in a table that cannot change
  uint64_t summed_to_ = 0;
  uint64_t written_to_ = 0;  // every window that ends here or before is on disk
  bool any_written_ = false;
  bool failed_window_ = false;
  bool head_write_tried_ = false;
};

}  // namespace

Result<bool> RebaseInStream(ImageIo& io, const StreamedRebase& request) {
  Stream stream(io, request);
  return stream.Run();
}

}  // namespace peimage
