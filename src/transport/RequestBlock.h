// The contiguous buffer of one control request: header plus data. Requests with up
// to kInlineData data bytes, which is every request the library makes itself, live
// on the stack; only larger generic transfers take a heap block.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "platform/Win32.h"

namespace merlox {

class RequestBlock {
 public:
  static constexpr DWORD kInlineData = 512;

  RequestBlock() = default;
  RequestBlock(const RequestBlock&) = delete;
  RequestBlock& operator=(const RequestBlock&) = delete;

  // Makes room for size bytes; false when the memory cannot be had.
  bool Reserve(size_t size) {
    if (size <= sizeof(inline_)) {
      data_ = inline_;
      return true;
    }
    heap_.reset(new (std::nothrow) uint8_t[size]);
    data_ = heap_.get();
    return data_ != nullptr;
  }
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }

 private:
  alignas(8) uint8_t inline_[38 + kInlineData];
  std::unique_ptr<uint8_t[]> heap_;
  uint8_t* data_ = nullptr;
};

}  // namespace merlox
