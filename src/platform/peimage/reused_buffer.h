#ifndef DORVANE_PEIMAGE_REUSED_BUFFER_H
#define DORVANE_PEIMAGE_REUSED_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace peimage {

/// A buffer of at least a given size that outlives its user: the next user
/// of the same kind on the same thread gets it back, grown if it must be. A
/// run over many images then allocates, faults in and frees its large
/// buffers once, not once an image. The contents are not cleared.
class ReusedBuffer {
 public:
  enum Kind { kWindow, kTable, kKinds };

  /// Takes the thread's buffer of `kind`, or, while another user holds it,
  /// a buffer of its own.
  ReusedBuffer(Kind kind, size_t size);
  ~ReusedBuffer();
  ReusedBuffer(const ReusedBuffer&) = delete;
  ReusedBuffer& operator=(const ReusedBuffer&) = delete;

  uint8_t* get() const { return bytes_; }

 private:
  Kind kind_;
  bool kept_;  // the thread's buffer, to give back
  std::unique_ptr<uint8_t[]> own_;
  uint8_t* bytes_;
};

}  // namespace peimage

#endif
