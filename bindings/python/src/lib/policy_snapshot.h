#ifndef MORVATEL_PY_POLICY_SNAPSHOT_H_
#define MORVATEL_PY_POLICY_SNAPSHOT_H_

// The Python class PolicySnapshot: one immutable core snapshot, and the
// decision methods that run the kernel on it.

#include <string_view>

#include "kernel/policy.h"
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

}  // namespace morvatel::py

#endif  // MORVATEL_PY_POLICY_SNAPSHOT_H_
