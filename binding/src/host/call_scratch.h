// CallScratch: the event map and the result record that one evaluate call
// fills and empties, kept per thread between calls so that their storage
// is reused instead of allocated and freed on every call.
//
// A lease hands them out for the length of one call. Host code can run in
// the middle of a call (a field's __str__, a finalizer run by the garbage
// collector while the result is built) and call evaluate again on the same
// thread: that call finds the scratch leased and works with fresh
// containers of its own. Containers that grew past a few dozen entries are
// not kept, so an unusual call does not pin its memory to the thread.
// Nothing is kept where the runtime's block cache is bypassed
// (block_cache::kEnabled is false: builds with AddressSanitizer).
#pragma once

#include <cstddef>

#include "engine/result.h"
#include "event/value_map.h"

namespace korvanthel {

class CallScratch {
 public:
  // Takes the thread's containers when no call on this thread holds them.
  CallScratch() noexcept;
  // Empties the containers and gives them back to the thread.
  ~CallScratch();
  CallScratch(const CallScratch&) = delete;
  CallScratch& operator=(const CallScratch&) = delete;

  // An empty map for the event's fields, to be handed back through
  // keep_fields() once the event is done with. Called once per lease.
  zelvo::ValueMap take_fields() noexcept;
  void keep_fields(zelvo::ValueMap&& fields) noexcept;
  // The result record; evaluate overwrites it.
  zelvo::EvalResult& result() noexcept { return result_ != nullptr ? *result_ : own_result_; }

 private:
  struct Store;
  Store* store_;                      // the thread's, or nullptr when another call holds it
  zelvo::EvalResult* result_ = nullptr;
  zelvo::EvalResult own_result_;      // used when store_ is null
};

}  // namespace korvanthel
