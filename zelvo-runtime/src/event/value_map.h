// ValueMap: the Map payload of Value, a hash map from Str keys to Values.
//
// Contracts:
//   - Keys are unique and compared as exact byte strings.
//   - Iteration order is unspecified (today: insertion order); nothing may
//     depend on it.
//   - Copies are deep (see Value). Moving is O(1).
//   - Lookup is O(1) on average: small maps (the common case for event
//     fields) are searched linearly, larger ones through a hash index built
//     on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "event/cached_allocator.h"
#include "model/str.h"

namespace zelvo {

class Value;
struct MapEntry;

class ValueMap {
 public:
  ValueMap() noexcept;
  ValueMap(const ValueMap& other);
  ValueMap(ValueMap&& other) noexcept;
  ValueMap& operator=(const ValueMap& other);
  ValueMap& operator=(ValueMap&& other) noexcept;
  ~ValueMap();

  std::size_t size() const noexcept;
  bool empty() const noexcept;
  void reserve(std::size_t n);
  // Room for this many entries without allocating.
  std::size_t capacity() const noexcept;
  // Removes every entry; the storage is kept for reuse.
  void clear() noexcept;

  // The value stored under `key`, or nullptr.
  const Value* find(std::string_view key) const noexcept;
  Value* find(std::string_view key) noexcept;
  // find() for a key held as a Str (a key of a policy's path): the same
  // result, with the key compared a word at a time.
  const Value* find_str(const Str& key) const noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

  // Stores `value` under `key`, replacing an existing entry's value.
  void insert_or_assign(Str key, Value value);

  // The value stored under `key`; when there is none, a new entry holding
  // Null is added first (its key built in place from the text). For
  // filling a map without moving freshly built keys and values. The
  // reference is valid until the map is next changed.
  Value& slot(std::string_view key);

  // Like slot(), for a key that the caller knows no entry holds yet (the
  // keys of a source whose keys are already distinct): skips the search.
  // Inline (value.h), as it is called once per converted entry.
  Value& append_distinct(std::string_view key);

  // The entry at position `i` (< size()), in iteration order: its value may
  // be changed in place, its key must not be. Inline (value.h).
  MapEntry& entry_at(std::size_t i) noexcept;
  // Keeps the first `n` entries (all when n >= size()), dropping the others.
  void truncate(std::size_t n);

  // Iteration over the entries (MapEntry: key, value).
  const MapEntry* begin() const noexcept;
  const MapEntry* end() const noexcept;

 private:
  struct Index;
  // Maps up to this size are searched linearly; a hash index costs more
  // than it saves below it.
  static constexpr std::size_t kLinearLimit = 8;
  std::ptrdiff_t position(std::string_view key) const noexcept;
  std::ptrdiff_t position(const Str& key) const noexcept;
  void index_last();  // after appending an entry
  void rebuild_index();

  std::vector<MapEntry, CachedAllocator<MapEntry>> entries_;
  std::unique_ptr<Index> index_;
};

}  // namespace zelvo
