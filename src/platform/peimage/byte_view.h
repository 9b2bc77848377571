#ifndef DORVANE_PEIMAGE_BYTE_VIEW_H
#define DORVANE_PEIMAGE_BYTE_VIEW_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace peimage {

/// True when [offset, offset + length) lies inside [0, size), without
/// overflow for any values.
constexpr bool RangeInside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

/// A bounds-checked window over bytes that the view does not own. Every read
/// and write of image bytes goes through it. Multi-byte values are decoded and
/// encoded as little-endian, independent of the host's byte order.
class ByteView {
 public:
  ByteView() = default;
  ByteView(uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }
  uint8_t* data() { return data_; }

  /// True when [offset, offset + length) lies inside the view.
  bool Contains(uint64_t offset, uint64_t length) const {
    return RangeInside(offset, length, size_);
  }

  /// The sub-view [offset, offset + length), or nothing when it does not fit.
  std::optional<ByteView> Sub(uint64_t offset, uint64_t length) const {
    if (!Contains(offset, length)) return std::nullopt;
    return ByteView(data_ + offset, static_cast<size_t>(length));
  }

  /// Little-endian unsigned value of `width` bytes (1..8) at `offset`, or
  /// nothing when it does not fit.
  std::optional<uint64_t> Read(uint64_t offset, unsigned width) const {
    if (width == 0 || width > 8 || !Contains(offset, width)) return std::nullopt;
    uint64_t value = 0;
    for (unsigned i = width; i-- > 0;) value = (value << 8) | data_[offset + i];
    return value;
  }
  std::optional<uint16_t> U16(uint64_t offset) const { return Narrow<uint16_t>(Read(offset, 2)); }
  std::optional<uint32_t> U32(uint64_t offset) const { return Narrow<uint32_t>(Read(offset, 4)); }
  std::optional<uint64_t> U64(uint64_t offset) const { return Read(offset, 8); }

  /// Stores the low `width` bytes (1..8) of `value` little-endian at `offset`.
  /// Returns false, writing nothing, when they do not fit.
  bool Write(uint64_t offset, unsigned width, uint64_t value) {
    if (width == 0 || width > 8 || !Contains(offset, width)) return false;
    for (unsigned i = 0; i < width; ++i) data_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    return true;
  }

 private:
  template <typename T>
  static std::optional<T> Narrow(std::optional<uint64_t> v) {
    if (!v) return std::nullopt;
    return static_cast<T>(*v);
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace peimage

#endif
