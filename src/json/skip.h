#ifndef MORVATEL_JSON_SKIP_H_
#define MORVATEL_JSON_SKIP_H_

// The quick way over a value whose raw text is wanted. Internal to the
// reader.

#include <cstddef>
#include <string_view>

namespace morvatel::json::scan {

// The offset just past the value that starts right at `pos` (no whitespace
// before it), for a reader `depth` containers deep: one loop, no
// recursion, nothing built. It only ever accepts: it returns 0 for
// anything it does not take as it is (every fault, and whatever it cannot
// tell at a glance), and the reader then goes over the value again its
// general way from the same place, which is where any error comes from.
// Whatever it does accept, the general way accepts with the same extent.
size_t skip_value(std::string_view text, size_t pos, int depth);
// The same without vector instructions, as it runs where there are none.
size_t skip_value_portable(std::string_view text, size_t pos, int depth);

#if defined(__SSE2__)
inline constexpr bool kVectorScan = true;
#else
inline constexpr bool kVectorScan = false;
#endif

}  // namespace morvatel::json::scan

#endif  // MORVATEL_JSON_SKIP_H_
