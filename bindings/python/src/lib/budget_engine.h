#ifndef MORVATEL_PY_BUDGET_ENGINE_H_
#define MORVATEL_PY_BUDGET_ENGINE_H_

// The Python class BudgetEngine over the core engine. Every method computes
// its outcome in the core, under the engine's locks, into plain records;
// the Python results are built only after those locks are released, so no
// engine lock is ever held while the interpreter runs.

#include "lib/py.h"

namespace morvatel::py {

// The class (borrowed; created on first use; null with an exception set if
// creation fails).
PyTypeObject* budget_engine_type();

}  // namespace morvatel::py

#endif  // MORVATEL_PY_BUDGET_ENGINE_H_
