#include "event/event.h"

#include <utility>

namespace zelvo {

Value event_map(const Event& event) {
  ValueMap map(event.fields);
  // Set last, so that they replace host fields of the same names.
  map.insert_or_assign(Str("type"), Value::string(event.event_type));
  map.insert_or_assign(Str("timestamp"), Value::duration(event.timestamp));
  return Value::map(std::move(map));
}

}  // namespace zelvo
