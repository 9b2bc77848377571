#include "sweep.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "checksum.h"

namespace peimage {

namespace {

constexpr uint64_t kWindowCapacity = 256 * 1024;
// Pieces closer than this share a window, read and written with one call. A
// gap of untouched pages is left alone, unless the checksum reads it anyway:
// then writing it back unchanged costs less than a call per piece.
constexpr uint64_t kJoinGap = 4096;
constexpr uint64_t kWholeFile = UINT64_MAX;
// The header fields a rebase changes, from TimeDateStamp to CheckSum, lie
// within 84 bytes at fixed offsets from e_lfanew.
constexpr size_t kHeadCapacity = 96;

Error Changed() {
  return MakeError(ErrorCode::kIoError, "the relocation table changed while the image was being rebased");
}

// Patches the `shape.count` targets of a uniform block, the first at `at_low`.
void PatchUniform(uint8_t* at_low, const UniformBlock& shape, const uint8_t* entries, Delta delta) {
  WithRelocationType(shape.type, [&](auto type) {
    for (size_t i = 0; i < shape.count; ++i) {
      ApplyRelocation<type>(at_low + ((LoadLe<uint16_t>(entries + 2 * i) & 0xFFFu) - shape.low), delta);
    }
  });
}

// A range [begin, end) of the file held in the workspace's window buffer,
// read, changed in memory, then written and dropped from the front.
class Window {
 public:
  Window(ImageIo& io, Workspace& workspace)
      : io_(io),
        capacity_(std::max<uint64_t>(1, std::min(kWindowCapacity, io.Size()))),
        buffer_(workspace.Window(static_cast<size_t>(capacity_))) {}

  bool empty() const { return begin_ == end_; }
  uint64_t begin() const { return begin_; }
  uint64_t end() const { return end_; }
  uint64_t capacity() const { return capacity_; }

  // Holds [first, last) of the file, at most capacity() long, in place of
  // what was held. Errors: kIoError, the window then empty.
  Status Start(uint64_t first, uint64_t last) {
    Clear();
    if (Status read = io_.Read(first, buffer_, static_cast<size_t>(last - first)); !read.ok()) return read;
    base_ = begin_ = first;
    end_ = last;
    return {};
  }
  // Reads [end(), last) on to the held bytes; `last` is at most capacity()
  // past begin(). Errors: kIoError.
  Status ExtendTo(uint64_t last) {
    if (last <= end_) return {};
    if (Status read = io_.Read(end_, At(end_), static_cast<size_t>(last - end_)); !read.ok()) return read;
    end_ = last;
    return {};
  }
  // The held byte at file offset `offset`, which must be present.
  uint8_t* At(uint64_t offset) { return buffer_ + (offset - base_); }
  // Stops holding the bytes before `offset`, without moving the others.
  void Skip(uint64_t offset) { begin_ = offset; }
  // Drops the held bytes before `offset`, keeping [offset, end()).
  void DropBefore(uint64_t offset) {
    if (offset >= end_) return Clear();
    std::memmove(buffer_, At(offset), static_cast<size_t>(end_ - offset));
    base_ = begin_ = offset;
  }
  // Drops every held byte, so that the buffer can serve as scratch space.
  void Clear() { base_ = begin_ = end_ = 0; }
  uint8_t* scratch() { return buffer_; }

 private:
  ImageIo& io_;
  const uint64_t capacity_;
  uint8_t* const buffer_;
  uint64_t base_ = 0;  // the file offset of the buffer's first byte
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
};

// The writes that put an image's original bytes back after its rebase
// failed midway, and the file ranges they could not put back. Each write is
// made twice; one that fails both times does not stop the others: it is
// kept (up to kKeptCapacity, bytes and places) and made again once they are
// done, round after round while a round puts more back.
class RestoringWrites {
 public:
  static constexpr size_t kKeptCapacity = 256 * 1024;

  explicit RestoringWrites(ImageIo& io) : io_(io) {}

  // Writes `original` at [offset, offset + length) of the file.
  void Write(uint64_t offset, const uint8_t* original, size_t length) {
    if (length == 0) return;
    Status write = io_.Write(offset, original, length);
    if (!write.ok()) write = io_.Write(offset, original, length);
    if (write.ok()) return;
    last_failure_ = write.error();
    size_t held = kept_bytes_.size() + sizeof(Kept) * kept_.size();
    if (held > kKeptCapacity || length + sizeof(Kept) > kKeptCapacity - held) return Left(offset, offset + length);
    kept_.push_back(Kept{offset, kept_bytes_.size(), length});
    kept_bytes_.insert(kept_bytes_.end(), original, original + length);
  }

  // Puts back what a write of `written` at [offset, offset + length) may
  // have changed: the bytes where `written` differs from `original` and the
  // file (read back) from `original`, or, when it cannot be read, from
  // `written`. No other byte is written, so that a write that reached
  // nothing (a full disk, a hole it could not fill) costs nothing.
  void PutBackChanged(uint64_t offset, const uint8_t* original, const uint8_t* written, size_t length) {
    uint8_t file[4096];
    for (size_t done = 0; done < length; done += sizeof file) {
      size_t n = std::min(sizeof file, length - done);
      const uint8_t* want = original + done;
      const uint8_t* was = written + done;
      if (std::memcmp(want, was, n) == 0) continue;
      bool read = io_.Read(offset + done, file, n).ok();
      auto changed = [&](size_t i) { return want[i] != was[i] && (!read || file[i] != want[i]); };
      for (size_t i = 0; i < n;) {
        if (!changed(i)) {
          ++i;
          continue;
        }
        size_t end = i + 1;
        while (end < n && changed(end)) ++end;
        Write(offset + done + i, want + i, end - i);
        i = end;
      }
    }
  }

  // Counts [first, last) as left changed: bytes whose originals are unknown.
  void GiveUp(uint64_t first, uint64_t last, const Error& why) {
    last_failure_ = why;
    Left(first, last);
  }

  // Makes the failed writes again while a round puts more back. Returns
  // `cause` when every byte is back; otherwise kPartiallyWritten, whose
  // message names the file ranges left changed.
  Status Finish(const Error& cause) {
    for (bool more = true; more && !kept_.empty();) {
      more = false;
      size_t failed = 0;
      for (const Kept& kept : kept_) {
        Status write = io_.Write(kept.offset, kept_bytes_.data() + kept.at, kept.length);
        more = more || write.ok();
        if (write.ok()) continue;
        last_failure_ = write.error();
        kept_[failed++] = kept;
      }
      kept_.resize(failed);
    }
    for (const Kept& kept : kept_) Left(kept.offset, kept.offset + kept.length);
    kept_.clear();
    kept_bytes_.clear();
    if (shown_.empty()) return cause;

    std::sort(shown_.begin(), shown_.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    std::string ranges;
    char text[96];
    for (const Range& range : shown_) {
      std::snprintf(text, sizeof text, "%s0x%llX-0x%llX", ranges.empty() ? "" : ", ",
                    static_cast<unsigned long long>(range.first), static_cast<unsigned long long>(range.last - 1));
      ranges += text;
    }
    if (more_ != 0) {
      std::snprintf(text, sizeof text, " and %zu more between 0x%llX and 0x%llX", more_,
                    static_cast<unsigned long long>(lowest_), static_cast<unsigned long long>(highest_ - 1));
      ranges += text;
    }
    return MakeError(ErrorCode::kPartiallyWritten, "%s; file bytes %s could not be put back or checked: %s",
                     cause.message.c_str(), ranges.c_str(), last_failure_.message.c_str());
  }

 private:
  struct Kept {
    uint64_t offset;
    size_t at, length;  // of its bytes in kept_bytes_
  };
  struct Range {
    uint64_t first, last;
  };

  void Left(uint64_t first, uint64_t last) {
    lowest_ = std::min(lowest_, first);
    highest_ = std::max(highest_, last);
    for (Range& range : shown_) {
      if (first <= range.last && range.first <= last) {
        range.first = std::min(range.first, first);
        range.last = std::max(range.last, last);
        return;
      }
    }
    if (shown_.size() < kShown) {
      shown_.push_back(Range{first, last});
    } else {
      ++more_;
    }
  }

  ImageIo& io_;
  std::vector<Kept> kept_;
  std::vector<uint8_t> kept_bytes_;
  Error last_failure_;
  // The ranges left changed: the first few, in full; how many more, and
  // where the lowest and highest of all lie.
  static constexpr size_t kShown = 4;
  std::vector<Range> shown_;
  size_t more_ = 0;
  uint64_t lowest_ = UINT64_MAX;
  uint64_t highest_ = 0;
};

class Sweeper {
 public:
  Sweeper(ImageIo& io, const CheckedRebase& rebase, Workspace& workspace)
      : io_(io),
        rebase_(rebase),
        headers_(rebase.headers),
        window_(io, workspace),
        head_first_(headers_.time_date_stamp_offset),
        head_last_(std::max({headers_.time_date_stamp_offset + 4, headers_.image_base_offset + headers_.address_width(),
                             headers_.checksum_offset + 4})),
        restoring_(io) {}

  Status Run() {
    Status forward = Sweep(rebase_.delta, kWholeFile, Mode::kForward);
    if (forward.ok()) return forward;
    if (written_to_ != 0) (void)Sweep(rebase_.delta.Negated(), written_to_, Mode::kUndo);
    return restoring_.Finish(forward.error());
  }

 private:
  enum class Mode { kForward, kUndo };

  // The regions the sweep visits in file order: the header fields, then
  // every piece.
  size_t regions() const { return rebase_.pieces.size() + 1; }
  uint64_t First(size_t i) const { return i == 0 ? head_first_ : rebase_.pieces[i - 1].first(); }
  uint64_t Last(size_t i) const { return i == 0 ? head_last_ : rebase_.pieces[i - 1].last(); }
  size_t head_length() const { return static_cast<size_t>(head_last_ - head_first_); }

  /// Applies `delta` to every region before `limit`: the targets that lie
  /// wholly below it and, undoing, the header fields. Undoing, a window that
  /// cannot be read or patched back is given up and the sweep goes on.
  Status Sweep(const Delta& delta, uint64_t limit, Mode mode) {
    window_.Clear();
    summed_to_ = 0;
    checksum_.reset();
    if (mode == Mode::kForward && headers_.checksum != 0) checksum_.emplace(headers_.checksum_offset);
    const uint64_t gap = checksum_ ? window_.capacity() : kJoinGap;
    for (size_t k = 0; k < regions() && First(k) < limit;) {
      // The window grows by every region that starts near its end and fits.
      uint64_t begin = window_.empty() ? First(k) : window_.begin();
      uint64_t end = std::max(window_.empty() ? 0 : window_.end(), Last(k));
      size_t j = k + 1;
      for (; j < regions() && First(j) < limit; ++j) {
        uint64_t last = std::max(end, Last(j));
        if (First(j) > end + gap || last - begin > window_.capacity()) break;
        end = last;
      }
      end = std::min(end, limit);
      // What lies before the next region is final; what it shares is kept.
      uint64_t release = j < regions() && First(j) < limit ? std::min(end, First(j)) : end;
      if (Status s = Visit(k, j, begin, end, release, delta, limit, mode); !s.ok()) {
        if (mode == Mode::kForward) return s;
        restoring_.GiveUp(begin, end, s.error());
        window_.Clear();
      }
      k = j;
    }
    if (mode == Mode::kUndo) return {};
    if (Status s = SumTo(io_.Size()); !s.ok()) return s;
    if (!checksum_) return {};
    StoreLe<uint32_t>(head_new_.data() + (headers_.checksum_offset - head_first_), checksum_->Finish());
    if (Status write = io_.Write(head_first_, head_new_.data(), head_length()); !write.ok()) {
      restoring_.PutBackChanged(head_first_, head_original_.data(), head_new_.data(), head_length());
      return write;
    }
    return {};
  }

  /// Holds [begin, end) in the window, applies `delta` to regions [k, j),
  /// and writes what lies before `release`.
  Status Visit(size_t k, size_t j, uint64_t begin, uint64_t end, uint64_t release, const Delta& delta,
               uint64_t limit, Mode mode) {
    if (Status s = window_.empty() ? StartAt(begin, end) : window_.ExtendTo(end); !s.ok()) return s;
    for (size_t i = k; i < j; ++i) {
      if (Status s = PatchRegion(i, delta, 0, limit, mode); !s.ok()) return s;
    }
    return Release(release, mode);
  }

  // Holds [begin, end) in the empty window. With a checksum, the bytes
  // before it are summed first, with the same read when they fit.
  Status StartAt(uint64_t begin, uint64_t end) {
    const uint64_t first = checksum_ && end - summed_to_ <= window_.capacity() ? summed_to_ : begin;
    if (Status s = SumTo(first); !s.ok()) return s;
    if (Status s = window_.Start(first, end); !s.ok()) return s;
    if (first < begin) {
      checksum_->Add(window_.At(first), static_cast<size_t>(begin - first));
      summed_to_ = begin;
      window_.Skip(begin);
    }
    return {};
  }

  /// Patches region `i` in the window: a piece's targets that lie wholly in
  /// [lo, hi) get `delta`; the header fields get their new values going
  /// forward, and their old ones back undoing, when they lie in [lo, hi).
  Status PatchRegion(size_t i, const Delta& delta, uint64_t lo, uint64_t hi, Mode mode) {
    if (i > 0) return PatchPiece(rebase_.pieces[i - 1], delta, lo, hi);
    uint8_t* head = window_.At(head_first_);
    if (mode == Mode::kUndo) {
      if (head_first_ >= lo && head_last_ <= hi) std::memcpy(head, head_original_.data(), head_length());
      return {};
    }
    std::memcpy(head_original_.data(), head, head_length());
    uint8_t* base = window_.At(headers_.image_base_offset);
    if (headers_.pe32_plus) {
      StoreLe<uint64_t>(base, rebase_.new_base);
    } else {
      StoreLe<uint32_t>(base, static_cast<uint32_t>(rebase_.new_base));
    }
    StoreLe<uint32_t>(window_.At(headers_.time_date_stamp_offset), rebase_.new_time_stamp);
    return {};
  }

  /// The first region whose bytes can reach `offset` or past it: a piece
  /// ends at most kMaxLength after its first byte.
  size_t FirstRegionReaching(uint64_t offset) const {
    if (offset < head_last_) return 0;
    uint64_t first = offset > RelocationPiece::kMaxLength ? offset - RelocationPiece::kMaxLength : 0;
    auto at = std::lower_bound(rebase_.pieces.begin(), rebase_.pieces.end(), first,
                               [](const RelocationPiece& piece, uint64_t value) { return piece.first() < value; });
    return 1 + static_cast<size_t>(at - rebase_.pieces.begin());
  }

  Status PatchPiece(const RelocationPiece& piece, const Delta& delta, uint64_t lo, uint64_t hi) {
    RelocationTable& table = *rebase_.table;
    BlockHeader header;
    const uint8_t* entries = nullptr;
    Status read = table.ReadBlock(piece.block(), header, entries);
    if (!read.ok()) return read.error().code == ErrorCode::kIoError ? read : Changed();

    const MappedSection& section = rebase_.sections.section(piece.section());
    size_t count = header.entry_count();
    // A block that cannot have changed since it was found uniform needs no
    // second look at every entry.
    std::optional<UniformBlock> shape =
        piece.uniform() && table.held_whole() ? KnownUniform(entries, count) : AsUniform(entries, count);
    if (shape && shape->count != 0 && piece.first() >= lo && piece.last() <= hi) {
      uint64_t rva = uint64_t{header.page_rva} + shape->low;
      uint32_t length = shape->high - shape->low;
      if (length == piece.length() && section.Holds(rva, length) && section.FileOffsetOf(rva) == piece.first()) {
        PatchUniform(window_.At(piece.first()), *shape, entries, delta);
        return {};
      }
    }
    Status each = ForEachTargetIn(table, rebase_.sections, piece, header, entries, Changed,
                                  [&](const Relocation& r, uint64_t offset) -> Status {
                                    if (offset < lo || offset + RelocationWidth(r.type) > hi) return {};
                                    WithRelocationType(r.type, [&](auto type) {
                                      ApplyRelocation<type>(window_.At(offset), delta, r.high_adj_low);
                                    });
                                    return {};
                                  });
    return each.ok() ? each : Changed();
  }

  /// Sums and writes the held bytes before `to`, and drops them. With a
  /// checksum to wait for, the header fields are kept back, to go last.
  Status Release(uint64_t to, Mode mode) {
    uint64_t from = window_.begin();
    if (checksum_) {
      checksum_->Add(window_.At(from), static_cast<size_t>(to - from));
      summed_to_ = to;
      if (from == head_first_) {
        std::memcpy(head_new_.data(), window_.At(head_first_), head_length());
        from = head_last_;
      }
    }
    if (from < to && mode == Mode::kUndo) {
      restoring_.Write(from, window_.At(from), static_cast<size_t>(to - from));
    } else if (from < to) {
      Status write = io_.Write(from, window_.At(from), static_cast<size_t>(to - from));
      if (!write.ok()) return PutBackWindow(from, to, write.error());
      written_to_ = to;
    }
    window_.DropBefore(to);
    return {};
  }

  /// After the write of the held bytes [from, to) failed, part of them may
  /// be in the file: they are turned back into the original bytes in memory,
  /// by the negated delta, and the bytes the write may have changed are put
  /// back. Returns `cause`.
  Status PutBackWindow(uint64_t from, uint64_t to, const Error& cause) {
    size_t length = static_cast<size_t>(to - from);
    std::vector<uint8_t> written(window_.At(from), window_.At(from) + length);
    Delta back = rebase_.delta.Negated();
    for (size_t i = FirstRegionReaching(from); i < regions() && First(i) < to; ++i) {
      Status s = PatchRegion(i, back, from, to, Mode::kUndo);
      if (!s.ok()) restoring_.GiveUp(std::max(First(i), from), std::min(Last(i), to), s.error());
    }
    restoring_.PutBackChanged(from, window_.At(from), written.data(), length);
    return cause;
  }

  /// Adds the unchanged bytes from the last summed one up to `offset`,
  /// through the empty window's buffer.
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

  ImageIo& io_;
  const CheckedRebase& rebase_;
  const ImageHeaders& headers_;
  Window window_;
  const uint64_t head_first_;
  const uint64_t head_last_;
  std::array<uint8_t, kHeadCapacity> head_original_ = {};
  std::array<uint8_t, kHeadCapacity> head_new_ = {};
  std::optional<ChecksumAccumulator> checksum_;
  uint64_t summed_to_ = 0;
  RestoringWrites restoring_;
  // Every target before this holds its new value in the file, and nothing
  // at or after it is left written (a window whose write failed is put back
  // apart): what the undo sweep has to restore.
  uint64_t written_to_ = 0;
};

}  // namespace

Status WriteRebase(ImageIo& io, const CheckedRebase& rebase, Workspace& workspace) {
  Sweeper sweeper(io, rebase, workspace);
  return sweeper.Run();
}

}  // namespace peimage
