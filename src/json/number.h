#ifndef MORVATEL_JSON_NUMBER_H_
#define MORVATEL_JSON_NUMBER_H_

// The written form of a double: the shortest digits that read back to the
// same value, laid out as plain decimal with ".0" for whole numbers when the
// decimal point falls within 16 digits ("100.0", "0.001234", "-0.0"), and as
// "1e30" / "1.234e-7" otherwise. Non-finite values have no JSON form and are
// written as "null".

#include <string>

namespace morvatel::json {

// Appends the form above to `out`.
void append_double(std::string& out, double v);

}  // namespace morvatel::json

#endif  // MORVATEL_JSON_NUMBER_H_
