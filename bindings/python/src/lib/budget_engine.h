#ifndef MORVATEL_PY_BUDGET_ENGINE_H_
#define MORVATEL_PY_BUDGET_ENGINE_H_

// The Python class BudgetEngine over the core engine. Every method computes
// its outcome in the core, under the engine's locks, into plain records;
// the Python results are built only after those locks are released, so no
// engine lock is ever held while the interpreter runs.
//
// The methods keep the interpreter lock throughout. Waiting on an engine
// mutex with it held cannot deadlock: any other holder of that mutex is
// either a Python thread (impossible: it would need the interpreter lock
// we hold) or native code that never asks for the interpreter lock.

#include "lib/py.h"

namespace morvatel::budget {
class BudgetEngine;
}

namespace morvatel::py {

// The class (borrowed; created on first use; null with an exception set if
// creation fails).
PyTypeObject* budget_engine_type();

// The core engine of a BudgetEngine instance (the `self` of its methods).
budget::BudgetEngine& budget_engine_of(PyObject* self);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_BUDGET_ENGINE_H_
