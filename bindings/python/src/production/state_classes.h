#ifndef MORVATEL_PY_PRODUCTION_STATE_CLASSES_H_
#define MORVATEL_PY_PRODUCTION_STATE_CLASSES_H_

// The Python face of state chains: StateChain, StateTransition,
// StatefulAuditBundle, PolicySnapshot.stateful_audit_bundle and the three
// trajectory functions.

#include <optional>
#include <string_view>

#include "lib/py.h"
#include "state.h"

namespace morvatel::py {

// The classes (borrowed; created on first use; null with an exception set
// if creation fails).
PyTypeObject* state_transition_type();
PyTypeObject* stateful_audit_bundle_type();
PyTypeObject* state_chain_type();

// A copy of the transition held by a StateTransition argument; TypeError
// noted with `name` for anything else.
std::optional<StateTransition> transition_arg(PyObject* o, std::string_view name);

// PolicySnapshot.stateful_audit_bundle(input, decision, transition).
PyObject* snapshot_stateful_audit_bundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

// New module functions bound to `module`, or null with an exception set.
PyObject* new_verify_state_trajectory(PyObject* module);
PyObject* new_verify_complete_state_trajectory(PyObject* module);
PyObject* new_verify_state_trajectory_fragment(PyObject* module);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_STATE_CLASSES_H_
