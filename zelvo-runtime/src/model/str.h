// Str: the runtime's immutable UTF-8 string.
//
// Every name, identifier, event type and text of the policy model and of
// Value is a Str. The contract:
//   - Immutable: no operation changes the bytes of an existing Str.
//   - Copying is O(1): texts of up to 23 bytes are held inline; longer texts
//     live in one heap buffer shared by all copies through an atomic
//     reference count (copies may cross threads).
//   - A borrowed Str (Str::borrowed) refers to bytes it does not own; its
//     creator keeps them alive and unchanged for as long as that Str lives.
//     Copying a borrowed Str makes an owning copy, so nothing but the
//     borrowed Str itself (and what it is moved into) ever refers to the
//     borrowed bytes.
//   - Lengths are in bytes; equality and ordering compare bytes exactly.
//   - The bytes are whatever the creator put in; producers (the JSON
//     decoder, the host binding) guarantee valid UTF-8.
//   - Not NUL-terminated: use data() with size().
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <string_view>

namespace zelvo {

class Str {
 public:
  static constexpr std::size_t kInlineCapacity = 23;

  Str() noexcept : raw_{} {}
  Str(std::string_view text) { init(text.data(), text.size()); }  // NOLINT: implicit by design
  Str(const char* text) : Str(std::string_view(text)) {}           // NOLINT
  Str(const std::string& text) : Str(std::string_view(text)) {}    // NOLINT

  // A Str of `text` that does not copy a text longer than the inline
  // capacity: see the contract above. Shorter texts are held inline.
  static Str borrowed(std::string_view text) noexcept {
    Str s;
    if (text.size() <= kInlineCapacity) {
      if (!text.empty()) std::memcpy(s.inline_.bytes, text.data(), text.size());
      s.inline_.len = static_cast<std::uint8_t>(text.size());
    } else {
      s.borrowed_.bytes = text.data();
      s.borrowed_.len = text.size();
      s.borrowed_.tag = kBorrowedTag;
    }
    return s;
  }

  // Copies of a borrowed Str own their bytes (and may throw std::bad_alloc
  // making them); every other copy is O(1) and cannot fail.
  Str(const Str& other) : raw_(other.raw_) {
    if (is_heap()) {
      heap_.buf->refs.fetch_add(1, std::memory_order_relaxed);
    } else if (is_borrowed()) {
      own_copy();
    }
  }
  Str(Str&& other) noexcept : raw_(other.raw_) { other.inline_.len = 0; }
  Str& operator=(const Str& other) {
    if (this != &other) {
      Str copy(other);
      swap(copy);
    }
    return *this;
  }
  Str& operator=(Str&& other) noexcept {
    if (this != &other) {
      release();
      raw_ = other.raw_;
      other.inline_.len = 0;
    }
    return *this;
  }
  ~Str() { release(); }

  void swap(Str& other) noexcept {
    Raw tmp = raw_;
    raw_ = other.raw_;
    other.raw_ = tmp;
  }

  const char* data() const noexcept {
    return is_heap() ? heap_.buf->bytes : is_borrowed() ? borrowed_.bytes : inline_.bytes;
  }
  std::size_t size() const noexcept {
    return is_heap() ? heap_.len : is_borrowed() ? borrowed_.len : inline_.len;
  }
  // True for a Str made by borrowed() that holds its text outside itself.
  bool is_borrowed() const noexcept { return inline_.len == kBorrowedTag; }
  bool empty() const noexcept { return size() == 0; }
  std::string_view view() const noexcept { return {data(), size()}; }
  operator std::string_view() const noexcept { return view(); }  // NOLINT
  std::string str() const { return std::string(view()); }

  // True when this Str and `other` share one heap buffer (for tests of the
  // copy contract).
  bool shares_buffer_with(const Str& other) const noexcept {
    return is_heap() && other.is_heap() && heap_.buf == other.heap_.buf;
  }

  friend bool operator==(const Str& a, const Str& b) noexcept { return a.view() == b.view(); }
  // The same as `a == b`, faster for the short texts of keys and names:
  // two inline texts are compared a word at a time, and a long (heap or
  // borrowed) text never matches an inline one.
  friend bool same_text(const Str& a, const Str& b) noexcept { return TextMatcher(a).matches(b); }
  friend bool operator==(const Str& a, std::string_view b) noexcept { return a.view() == b; }
  // Exact overloads: `s == "text"` and `s == std::string` would otherwise be
  // ambiguous between the Str and the string_view conversions.
  friend bool operator==(const Str& a, const char* b) noexcept { return a.view() == std::string_view(b); }
  friend bool operator==(const Str& a, const std::string& b) noexcept { return a.view() == std::string_view(b); }
  friend auto operator<=>(const Str& a, const Str& b) noexcept { return a.view() <=> b.view(); }

 private:
  struct HeapBuf {
    std::atomic<std::uint32_t> refs;
    char bytes[1];  // over-allocated
  };
  struct Inline {
    char bytes[kInlineCapacity];
    std::uint8_t len;  // 0..23 inline; kHeapTag when heap
  };
  struct Heap {
    HeapBuf* buf;
    std::size_t len;
    char pad[kInlineCapacity - sizeof(HeapBuf*) - sizeof(std::size_t)];
    std::uint8_t tag;
  };
  struct Borrowed {
    const char* bytes;
    std::size_t len;
    char pad[kInlineCapacity - sizeof(const char*) - sizeof(std::size_t)];
    std::uint8_t tag;
  };
  struct Raw {
    unsigned char bytes[kInlineCapacity + 1];
  };
  static constexpr std::uint8_t kHeapTag = 0xFF;
  static constexpr std::uint8_t kBorrowedTag = 0xFE;

  bool is_heap() const noexcept { return inline_.len == kHeapTag; }
  // Heap or borrowed: a text longer than the inline capacity.
  bool is_long() const noexcept { return inline_.len >= kBorrowedTag; }

 public:
  // Tests many Strs for the text of one: the one's words and masks are
  // prepared once. Equal to comparing views: two inline texts are compared
  // a word at a time (bytes past the text, which a moved-from Str keeps,
  // are masked off); a long text, heap or borrowed, never matches an inline
  // one, since only texts longer than the inline capacity are held outside.
  class TextMatcher {
   public:
    explicit TextMatcher(const Str& key) noexcept : key_(key), tag_(key.inline_.len) {
      if (tag_ >= kBorrowedTag) return;
      const std::size_t n = tag_;
      std::memcpy(&w0_, key.raw_.bytes, 8);
      std::memcpy(&w1_, key.raw_.bytes + 8, 8);
      std::memcpy(&w2_, key.raw_.bytes + 16, 8);
      m0_ = low_bytes(n);
      m1_ = low_bytes(n > 8 ? n - 8 : 0);
      m2_ = low_bytes(n > 16 ? n - 16 : 0);
    }

    // A hash of an inline key's text (its masked words and length); for a
    // long key, a constant.
    std::uint64_t hash() const noexcept {
      const std::uint64_t h = ((w0_ & m0_) * 0x9E3779B97F4A7C15ull) ^ ((w1_ & m1_) * 0xC2B2AE3D27D4EB4Full) ^
                              ((w2_ & m2_) * 0x165667B19E3779F9ull) ^ tag_;
      return h ^ (h >> 29);
    }

    bool matches(const Str& s) const noexcept {
      if (tag_ >= kBorrowedTag) {  // a long key: heap or borrowed, like s must be
        const std::size_t n = key_.size();
        if (!s.is_long() || s.size() != n) return false;
        const char* a = s.data();
        const char* b = key_.data();
        return a == b || std::memcmp(a, b, n) == 0;
      }
      if (s.inline_.len != tag_) return false;  // different lengths, or a long text
      if constexpr (std::endian::native != std::endian::little) return s.view() == key_.view();
      std::uint64_t a0;
      std::uint64_t a1;
      std::uint64_t a2;
      std::memcpy(&a0, s.raw_.bytes, 8);
      std::memcpy(&a1, s.raw_.bytes + 8, 8);
      std::memcpy(&a2, s.raw_.bytes + 16, 8);
      return (((a0 ^ w0_) & m0_) | ((a1 ^ w1_) & m1_) | ((a2 ^ w2_) & m2_)) == 0;
    }

   private:
    // The low `n` bytes of a little-endian word (n <= 8).
    static constexpr std::uint64_t low_bytes(std::size_t n) noexcept {
      return n >= 8 ? ~0ull : (1ull << (8 * n)) - 1;
    }
    const Str& key_;
    std::uint8_t tag_;
    std::uint64_t w0_ = 0, w1_ = 0, w2_ = 0;
    std::uint64_t m0_ = 0, m1_ = 0, m2_ = 0;
  };

 private:
  // Copies n <= kInlineCapacity bytes with fixed-size moves (two that may
  // overlap) instead of a call for a length known only at run time.
  static void copy_short(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 16) {
      std::memcpy(dst, src, 16);
      std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 8) {
      std::memcpy(dst, src, 8);
      std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
      std::memcpy(dst, src, 4);
      std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n != 0) {
      dst[0] = src[0];
      dst[n / 2] = src[n / 2];
      dst[n - 1] = src[n - 1];
    }
  }

  void init(const char* p, std::size_t n) {
    if (n <= kInlineCapacity) {
      copy_short(inline_.bytes, p, n);
      inline_.len = static_cast<std::uint8_t>(n);
      return;
    }
    init_heap(p, n);
  }

  // n > kInlineCapacity. Kept out of line: the allocation dwarfs a call,
  // and inlined into a caller copying from a short buffer, GCC's bounds
  // checks warn about this copy on a path the length test never takes.
  [[gnu::noinline]] void init_heap(const char* p, std::size_t n) {
    void* mem = ::operator new(offsetof(HeapBuf, bytes) + n);
    HeapBuf* buf = static_cast<HeapBuf*>(mem);
    new (&buf->refs) std::atomic<std::uint32_t>(1);
    std::memcpy(buf->bytes, p, n);
    heap_.buf = buf;
    heap_.len = n;
    heap_.tag = kHeapTag;
  }

  // After raw_ was copied from a borrowed Str: takes an owned copy of the
  // borrowed text, which is always longer than the inline capacity (see
  // borrowed()). Out of line, as copying a borrowed Str is the rare case.
  [[gnu::noinline, gnu::cold]] void own_copy() {
    const char* bytes = borrowed_.bytes;
    const std::size_t len = borrowed_.len;
    init_heap(bytes, len);
  }

  void release() noexcept {
    if (!is_heap()) return;
    if (heap_.buf->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      heap_.buf->refs.~atomic();
      ::operator delete(heap_.buf);
    }
    inline_.len = 0;
  }

  union {
    Inline inline_;
    Heap heap_;
    Borrowed borrowed_;
    Raw raw_;
  };
};

static_assert(sizeof(Str) == 24, "Str is three words: 23 inline bytes and a tag");

struct StrHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  std::size_t operator()(const Str& s) const noexcept { return (*this)(s.view()); }
};

}  // namespace zelvo
