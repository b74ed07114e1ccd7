#ifndef MORVATEL_PY_CANDIDATE_EXPLANATION_H_
#define MORVATEL_PY_CANDIDATE_EXPLANATION_H_

// The Python class CandidateExplanation: one model's verdict from
// PolicySnapshot.explain, its four shapes flattened into a status string
// and optional fields.

#include "kernel/explain.h"
#include "lib/py.h"

namespace morvatel::py {

// The class (borrowed; created on first use; null with an exception set if
// creation fails).
PyTypeObject* candidate_explanation_type();

// A new CandidateExplanation holding a copy of `c`.
PyObject* wrap_explanation(const CandidateExplanation& c);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_CANDIDATE_EXPLANATION_H_
