#include "event/value_map.h"

#include <bit>
#include <utility>

#include "event/bytes_equal.h"
#include "event/value.h"

namespace zelvo {

namespace {
constexpr std::uint32_t kEmptySlot = UINT32_MAX;
}  // namespace

// Open-addressing table of positions into entries_; capacity is a power of
// two at least twice the entry count.
struct ValueMap::Index {
  std::vector<std::uint32_t> slots;
  std::size_t mask() const noexcept { return slots.size() - 1; }
};

ValueMap::ValueMap() noexcept = default;
ValueMap::ValueMap(const ValueMap& other) : entries_(other.entries_) {
  if (other.index_) index_ = std::make_unique<Index>(*other.index_);
}
ValueMap::ValueMap(ValueMap&& other) noexcept = default;
ValueMap& ValueMap::operator=(const ValueMap& other) {
  if (this != &other) {
    ValueMap copy(other);
    *this = std::move(copy);
  }
  return *this;
}
ValueMap& ValueMap::operator=(ValueMap&& other) noexcept = default;
ValueMap::~ValueMap() = default;

void ValueMap::clear() noexcept {
  entries_.clear();
  index_.reset();
}

void ValueMap::truncate(std::size_t n) {
  if (n >= entries_.size()) return;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(n), entries_.end());
  index_.reset();
  if (entries_.size() > kLinearLimit) rebuild_index();
}

std::ptrdiff_t ValueMap::position(std::string_view key) const noexcept {
  if (!index_) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (bytes_equal(entries_[i].key.view(), key)) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }
  std::size_t slot = StrHash{}(key) & index_->mask();
  while (true) {
    std::uint32_t pos = index_->slots[slot];
    if (pos == kEmptySlot) return -1;
    if (bytes_equal(entries_[pos].key.view(), key)) return pos;
    slot = (slot + 1) & index_->mask();
  }
}

std::ptrdiff_t ValueMap::position(const Str& key) const noexcept {
  if (index_) return position(key.view());
  const Str::TextMatcher matcher(key);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (matcher.matches(entries_[i].key)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

const Value* ValueMap::find_str(const Str& key) const noexcept {
  std::ptrdiff_t pos = position(key);
  return pos < 0 ? nullptr : &entries_[static_cast<std::size_t>(pos)].value;
}

const Value* ValueMap::find(std::string_view key) const noexcept {
  std::ptrdiff_t pos = position(key);
  return pos < 0 ? nullptr : &entries_[static_cast<std::size_t>(pos)].value;
}

Value* ValueMap::find(std::string_view key) noexcept {
  std::ptrdiff_t pos = position(key);
  return pos < 0 ? nullptr : &entries_[static_cast<std::size_t>(pos)].value;
}

void ValueMap::insert_or_assign(Str key, Value value) {
  if (Value* existing = find(key.view())) {
    *existing = std::move(value);
    return;
  }
  entries_.push_back(MapEntry{std::move(key), std::move(value)});
  index_last();
}

Value& ValueMap::slot(std::string_view key) {
  if (Value* existing = find(key)) return *existing;
  entries_.emplace_back(key);
  index_last();
  return entries_.back().value;
}

void ValueMap::index_last() {
  if (entries_.size() <= kLinearLimit) return;
  if (!index_ || entries_.size() * 2 > index_->slots.size()) {
    // Keep the map unchanged if the new index cannot be allocated: an entry
    // missing from an existing index would be invisible to lookups.
    try {
      rebuild_index();
    } catch (...) {
      entries_.pop_back();
      throw;
    }
    return;
  }
  std::size_t slot = StrHash{}(entries_.back().key.view()) & index_->mask();
  while (index_->slots[slot] != kEmptySlot) slot = (slot + 1) & index_->mask();
  index_->slots[slot] = static_cast<std::uint32_t>(entries_.size() - 1);
}

void ValueMap::rebuild_index() {
  std::size_t capacity = std::bit_ceil(entries_.size() * 4);
  auto index = std::make_unique<Index>();
  index->slots.assign(capacity, kEmptySlot);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    std::size_t slot = StrHash{}(entries_[i].key.view()) & index->mask();
    while (index->slots[slot] != kEmptySlot) slot = (slot + 1) & index->mask();
    index->slots[slot] = static_cast<std::uint32_t>(i);
  }
  index_ = std::move(index);
}

}  // namespace zelvo
