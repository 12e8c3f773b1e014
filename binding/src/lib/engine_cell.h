// EngineCell: one engine core behind its lock, with the `poisoned` bit.
//
// The lock is a plain blocking mutex (no timeout, no try-lock). Members hold
// it only around their call into the core and never while host code runs,
// so with the interpreter lock held throughout it is never found taken in
// practice; it exists to serialise the core and to carry `poisoned`.
//
// `poisoned` is set when a C++ exception (an internal fault) leaves the
// core call while the lock is held, and it is never cleared: the core may be
// half-way through a change, so no member may touch it again.
#pragma once

#include <mutex>
#include <utility>

#include "engine/engine.h"
#include "host/kept_fields.h"
#include "model/policy.h"

namespace korvanthel {

class EngineCell {
 public:
  // Needs the interpreter lock.
  explicit EngineCell(zelvo::CompiledPolicy policy) : core_(std::move(policy)), kept_fields_(core_.field_use()) {}
  EngineCell(const EngineCell&) = delete;
  EngineCell& operator=(const EngineCell&) = delete;

  // The fields the policy reads. Fixed when the core was built, so it is
  // read without the lock.
  const KeptFields& kept_fields() const noexcept { return kept_fields_; }

  // Runs fn(core) with the lock held and returns true; returns false without
  // running fn when the cell is poisoned. An exception escaping fn poisons
  // the cell, releases the lock and propagates.
  template <typename Fn>
  bool with_core(Fn&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (poisoned_) return false;
    try {
      std::forward<Fn>(fn)(core_);
    } catch (...) {
      poisoned_ = true;
      throw;
    }
    return true;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  zelvo::PolicyEngine core_;
  const KeptFields kept_fields_;  // refers into core_
};

}  // namespace korvanthel
