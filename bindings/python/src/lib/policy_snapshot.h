#ifndef MORVATEL_PY_POLICY_SNAPSHOT_H_
#define MORVATEL_PY_POLICY_SNAPSHOT_H_

// The Python class PolicySnapshot: one immutable core snapshot, and the
// decision methods that run the kernel on it.

#include <optional>
#include <string_view>

#include "kernel/policy.h"
#include "kernel/records.h"
#include "lib/py.h"

namespace morvatel::py {

// The class (borrowed; created on first use; null with an exception set if
// creation fails).
PyTypeObject* policy_snapshot_type();

// The snapshot held by a PolicySnapshot argument; TypeError noted with
// `name` if `o` is of another type. The pointer stays valid as long as the
// caller holds `o`.
const PolicySnapshot* snapshot_arg(PyObject* o, std::string_view name);

// The snapshot of an object known to be a PolicySnapshot (a method's self).
const PolicySnapshot& snapshot_of(PyObject* self);

// A request and the decision taken on it, the pair many calls take after an
// optional snapshot: converted in the order snapshot, input, decision from
// consecutive bound arguments (the records copied), the first failure
// raising with the parameter's name. Nothing, with the exception set, on
// failure.
struct DecisionArgs {
  const PolicySnapshot* snapshot = nullptr;  // set only by snapshot_decision_args
  KernelInput input;
  KernelDecision decision;
};
// `input` and `decision` from args[0] and args[1].
std::optional<DecisionArgs> decision_args(PyObject* const* args);
// `snapshot`, `input` and `decision` from args[0], args[1] and args[2].
std::optional<DecisionArgs> snapshot_decision_args(PyObject* const* args);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_POLICY_SNAPSHOT_H_
