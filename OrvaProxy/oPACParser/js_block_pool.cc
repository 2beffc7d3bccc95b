#include "OrvaProxy/oPACParser/js_block_pool.h"

#include <cstdlib>

namespace OVProxy {

js_block_pool_t::~js_block_pool_t() {
  for (Free*& head : heads_) {
    while (head != nullptr) {
      Free* next = head->next;
      std::free(head);
      head = next;
    }
  }
}

bool js_block_pool_t::same_class(std::size_t a, std::size_t b) {
  if (a > kMaxPooled || b > kMaxPooled) return false;
  return rounded(a) == rounded(b);
}

void* js_block_pool_t::take(std::size_t bytes) {
  if (bytes > kMaxPooled) return std::malloc(bytes);
  const std::size_t size = rounded(bytes);
  Free*& head = heads_[size / kGranule];
  if (head == nullptr) return std::malloc(size);
  Free* block = head;
  head = block->next;
  cached_ -= size;
  return block;
}

void js_block_pool_t::give(void* block, std::size_t bytes) {
  if (block == nullptr) return;
  if (bytes > kMaxPooled) {
    std::free(block);
    return;
  }
  const std::size_t size = rounded(bytes);
  auto* node = static_cast<Free*>(block);
  node->next = heads_[size / kGranule];
  heads_[size / kGranule] = node;
  cached_ += size;
}

}  // namespace OVProxy
