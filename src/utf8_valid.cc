#include "utf8_valid.h"

namespace morvatel {

bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    size_t len = utf8_sequence_length(s.substr(i));
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace morvatel
