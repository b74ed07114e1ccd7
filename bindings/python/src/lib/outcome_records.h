#ifndef MORVATEL_PY_OUTCOME_RECORDS_H_
#define MORVATEL_PY_OUTCOME_RECORDS_H_

// The Python classes Observation and Outcome around the core outcome
// records.

#include "lib/py.h"

namespace morvatel::py {

// The classes (borrowed; created on first use; null with an exception set
// if creation fails).
PyTypeObject* observation_type();
PyTypeObject* outcome_type();

}  // namespace morvatel::py

#endif  // MORVATEL_PY_OUTCOME_RECORDS_H_
