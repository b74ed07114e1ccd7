#ifndef MORVATEL_FUZZ_CHECK_H_
#define MORVATEL_FUZZ_CHECK_H_

// A failed property names its line before the fuzzer reports the crash, so
// that a reproducer says which property broke even without symbols.

#include <cstdio>
#include <cstdlib>
#include <source_location>

namespace morvatel::fuzzing {

inline void check(bool ok, std::source_location at = std::source_location::current()) {
  if (ok) return;
  std::fprintf(stderr, "property failed: %s:%u\n", at.file_name(),
               static_cast<unsigned>(at.line()));
  std::abort();
}

}  // namespace morvatel::fuzzing

#endif  // MORVATEL_FUZZ_CHECK_H_
