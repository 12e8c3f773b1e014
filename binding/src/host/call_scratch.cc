#include "call_scratch.h"

#include <utility>

#include "event/cached_allocator.h"

namespace korvanthel {
namespace {

// Containers holding room for more entries than this are dropped rather
// than kept.
constexpr std::size_t kKeepLimit = 64;

bool worth_keeping(const zelvo::EvalResult& r) noexcept {
  return r.triggered_rules.capacity() <= kKeepLimit && r.actions.capacity() <= kKeepLimit &&
         r.violations.capacity() <= kKeepLimit && r.constraint_violations.capacity() <= kKeepLimit;
}

}  // namespace

struct CallScratch::Store {
  zelvo::ValueMap fields;
  zelvo::EvalResult result;
  bool leased = false;
};

CallScratch::CallScratch() noexcept {
  // Where the runtime's block cache is bypassed (sanitizer builds), every
  // call has its own containers too, so that the heap sees each one freed.
  if constexpr (!zelvo::block_cache::kEnabled) {
    store_ = nullptr;
    return;
  }
  thread_local Store store;
  store_ = store.leased ? nullptr : &store;
  if (store_ != nullptr) {
    store_->leased = true;
    result_ = &store_->result;
  }
}

CallScratch::~CallScratch() {
  if (store_ == nullptr) return;
  if (worth_keeping(store_->result)) {
    store_->result.clear();
  } else {
    store_->result = zelvo::EvalResult();
  }
  store_->leased = false;
}

zelvo::ValueMap CallScratch::take_fields() noexcept {
  return store_ != nullptr ? std::move(store_->fields) : zelvo::ValueMap();
}

void CallScratch::keep_fields(zelvo::ValueMap&& fields) noexcept {
  if (store_ == nullptr || fields.capacity() > kKeepLimit) return;
  fields.clear();
  store_->fields = std::move(fields);
}

}  // namespace korvanthel
