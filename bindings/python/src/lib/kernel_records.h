#ifndef MORVATEL_PY_KERNEL_RECORDS_H_
#define MORVATEL_PY_KERNEL_RECORDS_H_

// The Python classes KernelInput, KernelModel and KernelDecision, which carry
// the core records across the boundary.

#include <optional>
#include <string_view>

#include "kernel/records.h"
#include "lib/py.h"

namespace morvatel::py {

// The classes (borrowed; created on first use; null with an exception set
// if creation fails).
PyTypeObject* kernel_input_type();
PyTypeObject* kernel_model_type();
PyTypeObject* kernel_decision_type();

// A copy of the record held by a KernelInput / KernelModel / KernelDecision
// argument; TypeError noted with `name` if `o` is of another type.
std::optional<KernelInput> input_arg(PyObject* o, std::string_view name);
std::optional<KernelModel> model_arg(PyObject* o, std::string_view name);
std::optional<KernelDecision> decision_arg(PyObject* o, std::string_view name);

// A KernelInput argument that also passes the request check: ValueError
// "{} must be <= {}, got {}" otherwise. Every entry point that takes a
// request uses this.
std::optional<KernelInput> validated_input_arg(PyObject* o, std::string_view name);

// A record pointer for objects already known to be of the class.
const KernelModel& model_record(PyObject* o);
const KernelInput& input_record(PyObject* o);

// New Python objects around copies of core records.
PyObject* wrap_model(const KernelModel& m);
PyObject* wrap_decision(const KernelDecision& d);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_KERNEL_RECORDS_H_
