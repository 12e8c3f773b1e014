#include "emit/container_writer.h"

#include <stdexcept>

#include "container/container.h"

namespace zelvo::lang {

std::string write_container(std::string_view json) {
  if (json.size() > kMaxContainerPayload) {
    throw std::length_error("a policy's JSON text of more than 4 GiB does not fit a .zelvoc container");
  }
  return make_container(json);
}

}  // namespace zelvo::lang
