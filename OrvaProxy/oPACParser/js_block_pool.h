// js_block_pool_t: recycles the engine heap's small blocks.
//
// A fresh script environment allocates and later frees thousands of small
// blocks (objects, property tables, strings); handing them back to the
// general allocator and asking again for every evaluation costs more than
// the evaluation itself. Blocks of up to kMaxPooled bytes are kept on one
// free list per 16-byte size class and handed out again; larger ones go
// straight to the general allocator. What the pool keeps is bounded by the
// heap's own peak use, and everything is released with the pool (the engine
// drops it with its heap).
//
// Thread-safety: none; one engine heap uses it, under the engine's lock.
#pragma once

#include <array>
#include <cstddef>

namespace OVProxy {

class js_block_pool_t {
 public:
  static constexpr std::size_t kGranule = 16;
  static constexpr std::size_t kMaxPooled = 512;

  js_block_pool_t() = default;
  js_block_pool_t(const js_block_pool_t&) = delete;
  js_block_pool_t& operator=(const js_block_pool_t&) = delete;
  ~js_block_pool_t();

  // A block of at least `bytes` bytes (aligned for any type), or null.
  void* take(std::size_t bytes);
  // Gives back a block taken with the same `bytes`.
  void give(void* block, std::size_t bytes);
  // Whether blocks of `a` and `b` bytes are interchangeable.
  static bool same_class(std::size_t a, std::size_t b);
  // Bytes held in free lists.
  std::size_t cached_bytes() const { return cached_; }

 private:
  struct Free {
    Free* next;
  };
  static std::size_t rounded(std::size_t bytes) {
    return (bytes + kGranule - 1) / kGranule * kGranule;
  }

  std::array<Free*, kMaxPooled / kGranule + 1> heads_{};
  std::size_t cached_ = 0;
};

}  // namespace OVProxy
