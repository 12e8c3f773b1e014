#include "engine/status.h"

#include <initializer_list>
#include <string_view>

#include "engine/engine.h"

namespace zelvo {

namespace {

void append_line(std::string& text, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts) text += part;
  text += '\n';
}

}  // namespace

std::string format_status(const EngineStatus& s) {
  using std::to_string;
  std::string text;
  append_line(text, {"Policy: ", s.name.view(), " (", to_name(s.severity), ")"});
  append_line(text, {"Rules: ", to_string(s.rule_count)});
  append_line(text, {"State machines: ", to_string(s.machine_count), " total (", to_string(s.active_count),
                     " active, ", to_string(s.satisfied_count), " satisfied, ", to_string(s.violated_count),
                     " violated)"});
  append_line(text, {"Constraints: ", to_string(s.constraint_count)});
  append_line(text, {"Events processed: ", to_string(s.event_count)});
  return text;
}

EngineStatus PolicyEngine::gather_status() const {
  EngineStatus s;
  s.name = policy_.name;
  s.severity = policy_.severity;
  s.rule_count = policy_.rules.size();
  s.machine_count = monitors_.size();
  for (const MachineMonitor& monitor : monitors_) {
    const State* state = monitor.state();
    if (state != nullptr && state->kind == StateKind::Active) ++s.active_count;
    if (monitor.is_accepting()) ++s.satisfied_count;
    if (monitor.is_violating()) ++s.violated_count;
  }
  s.constraint_count = windows_.size();
  s.event_count = event_count_;
  return s;
}

std::string PolicyEngine::status() const { return format_status(gather_status()); }

}  // namespace zelvo
