// The ordered readings of a host object (see value_from_host.h).
#include "value_from_host.h"

#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "dict_layout.h"
#include "errors.h"
#include "py_ref.h"

namespace korvanthel {
namespace {

using zelvo::Value;

// The text of a str as UTF-8, or nullopt with the host's encoding error set.
std::optional<std::string_view> utf8_of(PyObject* str) {
  // A compact ASCII str (every str literal and most str made from ASCII
  // text) stores its characters as UTF-8 already.
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// numpy's boolean scalar, recognised without importing numpy: its type's
// module is "numpy" and its name "bool_" (numpy 1) or "bool" (numpy 2).
bool is_numpy_bool(PyTypeObject* type) {
  // Cheap filter first: the text after the last dot of tp_name is the type's
  // name for static types and contains it for heap types.
  const char* dot = std::strrchr(type->tp_name, '.');
  const std::string_view tail = dot != nullptr ? dot + 1 : type->tp_name;
  if (tail != "bool" && tail != "bool_") return false;
  PyRef name = PyRef::steal(PyType_GetName(type));
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!name || !module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// Reading 2 for numpy booleans: the host's truth test.
std::optional<Value> read_numpy_bool(PyObject* obj) {
  if (!is_numpy_bool(Py_TYPE(obj))) return std::nullopt;
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  return Value::boolean(truth != 0);
}

// Reading 3: the host's signed 64-bit reading (through __index__ for
// objects that are not ints).
std::optional<Value> read_int(PyObject* obj) {
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return Value::integer(static_cast<std::int64_t>(v));
}

// Reading 4: the host's double reading (__float__, else __index__).
std::optional<Value> read_float(PyObject* obj) {
  const double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return Value::floating(d);
}

// Reading 5: the stored text of a str or subclass, if it encodes as UTF-8.
std::optional<Value> read_str(PyObject* obj) {
  const std::optional<std::string_view> text = utf8_of(obj);
  if (!text) {
    PyErr_Clear();
    return std::nullopt;
  }
  return Value::string(zelvo::Str(*text));
}

// The text of a str that holds lone surrogates, each surrogate replaced the
// way a UTF-8 decoder replaces its three encoded bytes: by three U+FFFD.
PyRef replace_surrogates(PyObject* str) {
  PyRef raw = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!raw) return raw;
  return PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
}

// Reading 8: the text of str(obj); str()'s own exception ends the conversion.
bool read_via_str(PyObject* obj, Value& out) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (!text) return false;
  std::optional<std::string_view> utf8 = utf8_of(text.get());
  if (!utf8) {
    PyErr_Clear();
    text = replace_surrogates(text.get());
    if (!text) return false;
    utf8 = utf8_of(text.get());
    if (!utf8) return false;
  }
  out = Value::string(zelvo::Str(*utf8));
  return true;
}

// Where `value` (a value of `map`) sits among the map's entries.
std::uint32_t position_in(const zelvo::ValueMap& map, const Value& value) noexcept {
  const zelvo::MapEntry* entries = map.begin();
  const std::size_t last = map.size() - 1;
  if (&entries[last].value == &value) return static_cast<std::uint32_t>(last);  // the one just appended
  std::size_t i = 0;
  while (&entries[i].value != &value) ++i;
  return static_cast<std::uint32_t>(i);
}

// Objects whose conversion may run host code, which could drop the last
// other reference to them (a __str__ that empties the list or dict they
// are read from), are held for the length of their conversion: lists and
// dicts (their items' conversions may run host code) and every object that
// is not an exact built-in scalar. Reading None, an exact bool, int, float
// or str runs no host code, so their reference counts are left alone, and
// each conversion function below takes its own hold where it needs one.
// Keys need none: a key's text is copied before its value is converted,
// and the key is not read after that.

// Converts one object tree. Tracks the open lists and dicts so that nesting
// is bounded and a container that holds itself is refused, not followed.
class Converter {
 public:
  // With a holder, long texts of exact strs are borrowed, not copied.
  explicit Converter(BorrowedTexts* borrows = nullptr) noexcept : borrows_(borrows) {}

  bool convert(PyObject* obj, Value& out);
  // Converts the items whose keys `keep` reads (all when it is null) into
  // `out`, and checks the others; with no `out`, checks every item. With
  // `keep`, notes in `positions` (indexed by field number, as long as
  // keep's count) where each numbered field landed in `out`.
  bool convert_entries(PyObject* dict, zelvo::ValueMap* out, const KeptFields* keep = nullptr,
                       std::span<std::uint32_t> positions = {});
  // convert_entries with no `out`: checks every item, building nothing.
  bool check_entries(PyObject* dict);

 private:
  // check() for the scalars whose reading cannot fail (None, exact bool,
  // float, int in range and ASCII str), without a call; the rest in check().
  bool check_item(PyObject* obj) {
    PyTypeObject* const type = Py_TYPE(obj);
    if (obj == Py_None || type == &PyBool_Type || type == &PyFloat_Type) return true;
    if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(obj)) return true;
    return check(obj);
  }
  bool check(PyObject* obj);
  bool check_list(PyObject* list);
  bool check_dict(PyObject* dict);
  bool convert_general(PyObject* obj, Value& out);
  bool convert_int(PyObject* obj, Value& out);
  bool convert_text(PyObject* obj, Value& out);
  bool convert_list(PyObject* list, Value& out);
  bool convert_dict(PyObject* dict, Value& out);
  bool enter(PyObject* container);
  void leave() noexcept { --depth_; }

  // Only the first depth_ entries are ever read; left uninitialised so that
  // a conversion does not begin by clearing 1.6 KB.
  std::array<PyObject*, kMaxValueDepth> open_;
  int depth_ = 0;
  // Set once a reading that can run host code has been tried (only
  // convert_general's can; str() of an exact int or str, which runs none,
  // sets it as well, to be safe): from then on a dict being walked may have
  // been changed behind the walk, its keys are no longer known to be
  // distinct, and items a walk took ahead are taken again.
  bool host_code_may_have_run_ = false;
  BorrowedTexts* borrows_;
};

// Results are written into `out` in place (assign_*): a freshly built
// string moved into place would be read back right after being written.
bool Converter::convert(PyObject* obj, Value& out) {
  if (obj == Py_None) {
    out = Value();
    return true;
  }
  // Exact built-in types go straight to their own reading: every reading
  // ahead of it is known to fail for them, so the result is the same.
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyBool_Type) {
    out.assign_bool(obj == Py_True);
    return true;
  }
  if (type == &PyLong_Type) return convert_int(obj, out);
  if (type == &PyFloat_Type) {
    out.assign_float(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (type == &PyUnicode_Type) return convert_text(obj, out);
  if (type == &PyList_Type) return convert_list(obj, out);
  if (type == &PyDict_Type) return convert_dict(obj, out);
  return convert_general(obj, out);
}

// An exact int: Int in range, else the nearest double, else its digits.
bool Converter::convert_int(PyObject* obj, Value& out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) {
    out.assign_int(static_cast<std::int64_t>(v));
    return true;
  }
  if (std::optional<Value> d = read_float(obj)) {
    out = std::move(*d);
    return true;
  }
  host_code_may_have_run_ = true;  // as far as the walks are concerned
  return read_via_str(obj, out);
}

bool Converter::convert_text(PyObject* obj, Value& out) {
  if (const std::optional<std::string_view> text = utf8_of(obj)) {
    if (text->size() > zelvo::Str::kInlineCapacity && borrows_ != nullptr && borrows_->hold(obj)) {
      out.assign_str(zelvo::Str::borrowed(*text));
    } else {
      out.assign_string(*text);
    }
    return true;
  }
  PyErr_Clear();
  host_code_may_have_run_ = true;  // as far as the walks are concerned
  return read_via_str(obj, out);
}

// Every reading in order, for subclasses and foreign types.
bool Converter::convert_general(PyObject* obj, Value& out) {
  const PyRef hold = PyRef::borrow(obj);
  host_code_may_have_run_ = true;
  std::optional<Value> read = read_numpy_bool(obj);
  if (!read) read = read_int(obj);
  if (!read) read = read_float(obj);
  if (!read && PyUnicode_Check(obj)) read = read_str(obj);
  if (read) {
    out = std::move(*read);
    return true;
  }
  if (PyList_Check(obj)) return convert_list(obj, out);
  if (PyDict_Check(obj)) return convert_dict(obj, out);
  return read_via_str(obj, out);
}

bool Converter::enter(PyObject* container) {
  for (int i = 0; i < depth_; ++i) {
    if (open_[static_cast<std::size_t>(i)] == container) {
      raise_error(ErrorKind::NestingTooDeep, "value cannot be converted: a list or dict contains itself");
      return false;
    }
  }
  if (depth_ == kMaxValueDepth) {
    raise_error(ErrorKind::NestingTooDeep, "value nesting exceeds the maximum depth of 200");
    return false;
  }
  open_[static_cast<std::size_t>(depth_++)] = container;
  return true;
}

// The stored items in index order; a subclass's __iter__/__getitem__ is
// not consulted. The length is read afresh for every item because host
// code run by a conversion may shorten or grow the list.
//
// Lists and dicts are built in place in `out` (nothing is built aside and
// moved in): on a failure `out` holds part of the value, and every caller
// discards its whole value then.
bool Converter::convert_list(PyObject* list, Value& out) {
  const PyRef hold = PyRef::borrow(list);
  if (!enter(list)) return false;
  zelvo::ValueList& items = out.assign_list();
  items.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (!convert(PyList_GET_ITEM(list, i), items.emplace_back())) {
      leave();
      return false;
    }
  }
  leave();
  return true;
}

bool Converter::convert_dict(PyObject* dict, Value& out) {
  const PyRef hold = PyRef::borrow(dict);
  if (!enter(dict)) return false;
  const bool ok = convert_entries(dict, &out.assign_map());
  leave();
  return ok;
}

// The readings of convert() whose results would be thrown away: the same
// errors in the same order, and the same host code run, without building
// anything. Exact built-in scalars are only read as far as a reading can
// fail; anything else that is not an exact list or dict is converted into
// a scratch Value.
bool Converter::check(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (obj == Py_None || type == &PyBool_Type || type == &PyFloat_Type) return true;
  if (type == &PyLong_Type) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) return true;
  } else if (type == &PyUnicode_Type) {
    if (utf8_of(obj)) return true;
    PyErr_Clear();
    host_code_may_have_run_ = true;  // as far as the walks are concerned
    Value scratch;
    return read_via_str(obj, scratch);
  } else if (type == &PyList_Type) {
    return check_list(obj);
  } else if (type == &PyDict_Type) {
    return check_dict(obj);
  }
  Value scratch;
  return convert(obj, scratch);
}

bool Converter::check_list(PyObject* list) {
  const PyRef hold = PyRef::borrow(list);
  if (!enter(list)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (!check_item(PyList_GET_ITEM(list, i))) {
      leave();
      return false;
    }
  }
  leave();
  return true;
}

bool Converter::check_dict(PyObject* dict) {
  const PyRef hold = PyRef::borrow(dict);
  if (!enter(dict)) return false;
  const bool ok = check_entries(dict);
  leave();
  return ok;
}

// The items of one dict in next()'s order, taken a few at a time while no
// host code has run (see dict_layout::gather), and one at a time from the
// position after the last item handed out once some may have.
class DictWalk {
 public:
  explicit DictWalk(PyObject* dict) noexcept : dict_(dict) {}

  // The next item, or false at the end. `stale`: host code may have run
  // since the items held were taken, so they are dropped and taken again.
  bool next(bool stale, PyObject*& key, PyObject*& value) noexcept {
    if (stale) held_ = at_;
    if (at_ == held_) {
      Py_ssize_t pos = pos_;
      held_ = dict_layout::gather(dict_, &pos, items_.data(), stale ? 1 : kBatch);
      at_ = 0;
      if (held_ == 0) return false;
    }
    const dict_layout::Item& item = items_[static_cast<std::size_t>(at_++)];
    key = item.key;
    value = item.value;
    pos_ = item.after;
    return true;
  }

 private:
  static constexpr int kBatch = 8;
  PyObject* dict_;
  Py_ssize_t pos_ = 0;  // after the last item handed out
  int at_ = 0;          // the next held item to hand out
  int held_ = 0;
  // Only the first held_ entries are ever read.
  std::array<dict_layout::Item, kBatch> items_;
};

// The stored items in the dict's own order; a subclass's items()/__iter__
// is not consulted. A value whose reading may run host code holds itself
// while it is converted, since that code may remove it from the dict.
bool Converter::convert_entries(PyObject* dict, zelvo::ValueMap* out, const KeptFields* keep,
                                std::span<std::uint32_t> positions) {
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  if (out != nullptr) {
    const auto given = static_cast<std::size_t>(size);
    out->reserve(keep != nullptr ? keep->kept_of(given) : given);
  }
  // Exact str keys of one dict have distinct texts (a str's UTF-8 text is
  // its value), so while no host code has had the chance to change the dict
  // behind the walk they need no search for an earlier equal key. A str
  // subclass may define its own equality; from its key on, every key is
  // searched for.
  bool distinct = out != nullptr && out->empty();
  DictWalk walk(dict);
  PyObject* key = nullptr;   // borrowed
  PyObject* item = nullptr;  // borrowed
  while (true) {
    // Only host code can change the dict's size.
    if (host_code_may_have_run_ && PyDict_GET_SIZE(dict) != size) {
      raise_error(ErrorKind::InternalFault, "dictionary changed size during iteration");
      return false;
    }
    if (!walk.next(host_code_may_have_run_, key, item)) return true;
    if (!PyUnicode_Check(key)) {
      raise_not_convertible(key, "PyString");
      return false;
    }
    const std::optional<std::string_view> utf8 = utf8_of(key);
    if (!utf8) return false;
    // Rebuilt from its two words rather than copied whole: a whole copy is
    // read back as one 16-byte load of two 8-byte stores just made, which
    // cannot be forwarded from the store buffer.
    const char* const key_data = utf8->data();
    const std::size_t key_size = utf8->size();
    const std::string_view key_text(key_data, key_size);
    distinct = distinct && PyUnicode_CheckExact(key) && !host_code_may_have_run_;
    const std::uint32_t number = keep != nullptr ? keep->field(key, key_text) : KeptFields::kUnnumbered;
    if (out == nullptr || number == KeptFields::kUnread) {
      if (!check_item(item)) return false;
      continue;
    }
    // A later equal key replaces the earlier value: slot() finds it. On a
    // failure the whole map is discarded, so the entry needs no undoing.
    Value& slot = distinct ? out->append_distinct(key_text) : out->slot(key_text);
    // Entries never move within the map once added, and later keys only
    // replace values, so a position noted here stays right.
    if (number < positions.size()) positions[number] = position_in(*out, slot);
    if (!convert(item, slot)) return false;
  }
}

// The walk of convert_entries with nothing kept: each key's text is read
// (a key that is not a str, or whose text does not encode, ends it the same
// way) and each value checked, in the same order.
bool Converter::check_entries(PyObject* dict) {
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  DictWalk walk(dict);
  PyObject* key = nullptr;   // borrowed
  PyObject* item = nullptr;  // borrowed
  while (true) {
    if (host_code_may_have_run_ && PyDict_GET_SIZE(dict) != size) {
      raise_error(ErrorKind::InternalFault, "dictionary changed size during iteration");
      return false;
    }
    if (!walk.next(host_code_may_have_run_, key, item)) return true;
    if (!PyUnicode_Check(key)) {
      raise_not_convertible(key, "PyString");
      return false;
    }
    if (!PyUnicode_IS_COMPACT_ASCII(key) && !utf8_of(key)) return false;
    if (!check_item(item)) return false;
  }
}

}  // namespace

bool value_from_host(PyObject* obj, Value& out) {
  Converter converter;
  Value value;
  if (!converter.convert(obj, value)) return false;
  out = std::move(value);
  return true;
}

bool fields_from_host(PyObject* dict, const KeptFields& keep, BorrowedTexts& borrows, zelvo::ValueMap& out,
                      std::span<std::uint32_t> positions) {
  Converter converter(&borrows);
  // A policy that reads no field keeps none: the walk only checks.
  if (keep.count() == 0 && !keep.reads_all()) return converter.check_entries(dict);
  return converter.convert_entries(dict, &out, &keep, positions);
}

}  // namespace korvanthel
