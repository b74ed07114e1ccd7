#ifndef MORVATEL_PY_PRODUCTION_JSON_ERRORS_H_
#define MORVATEL_PY_PRODUCTION_JSON_ERRORS_H_

// JSON errors at the Python boundary, and the conversion of a JSON value
// the system built into a Python dict.
//
// Which mapping to use is the caller's decision: an error in an artefact the
// caller supplied is an invalid value (ArtifactValidationError); an error
// while producing the system's own output is a runtime failure
// (MorvatelError). Either way the message is the error's text, with
// " at line {} column {}" when it carries a position.

#include <cstddef>

#include "json/error.h"
#include "json/value.h"
#include "lib/py.h"

namespace morvatel::py {

// Raise; return nullptr for `return invalid_value(...)`.
std::nullptr_t invalid_value(json::Error error);
std::nullptr_t runtime_error(json::Error error);

// Writes `value` (an object) as compact JSON and hands the text to the
// interpreter's json.loads, so the dict keeps the value's key order and
// integers of every width arrive exact. Exceptions of the import or of
// loads pass through unchanged; a result that is not a dict is a TypeError.
// Holds the interpreter lock throughout (it runs interpreter code).
PyObject* json_value_to_dict(json::Value value);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_JSON_ERRORS_H_
