#include "replay/sessions.h"

#include "event/value.h"

namespace zelvo::replay {

Session* SessionTable::find(std::string_view name) {
  if (last_ != nullptr && name == last_name_) return last_;
  auto it = sessions_.find(name);
  if (it == sessions_.end()) return nullptr;
  last_name_.assign(name);
  last_ = it->second.get();
  return last_;
}

Session& SessionTable::open(std::string_view name, std::uint64_t start_ms) {
  auto session = std::make_unique<Session>(policy_, against_, start_ms);
  for (PolicyEngine* engine : {&session->engine, session->against.get()}) {
    if (engine == nullptr) continue;
    for (const MapEntry& entry : context_) engine->set_context(entry.key, entry.value);
    for (const MapEntry& entry : config_) engine->set_config(entry.key, entry.value);
  }
  Session* raw = session.get();
  sessions_.insert_or_assign(std::string(name), std::move(session));
  last_name_.assign(name);
  last_ = raw;
  return *raw;
}

void SessionTable::close(std::string_view name) {
  auto it = sessions_.find(name);
  if (it == sessions_.end()) return;
  if (last_ == it->second.get()) last_ = nullptr;
  sessions_.erase(it);
}

}  // namespace zelvo::replay
