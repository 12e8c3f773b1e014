// EngineCell: one engine core behind its lock, with the `poisoned` bit.
//
// The lock is a plain blocking lock (no timeout, no try-lock). Members hold
// it only around their call into the core and never while host code runs,
// so with the interpreter lock held throughout it is never found taken in
// practice; it exists to serialise the core and to carry `poisoned`. Being
// uncontended, it is one atomic exchange to take and one store to release
// (a waiter, which never occurs under the interpreter lock, yields its
// processor until the lock is free), not a call into the thread library.
//
// `poisoned` is set when a C++ exception (an internal fault) leaves the
// core call while the lock is held, and it is never cleared: the core may be
// half-way through a change, so no member may touch it again.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
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
    std::lock_guard<Lock> lock(lock_);
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
  class Lock {
   public:
    void lock() noexcept {
      while (taken_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() noexcept { taken_.store(false, std::memory_order_release); }

   private:
    std::atomic<bool> taken_{false};
  };

  Lock lock_;
  bool poisoned_ = false;
  zelvo::PolicyEngine core_;
  const KeptFields kept_fields_;  // refers into core_
};

}  // namespace korvanthel
