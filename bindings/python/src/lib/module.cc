// The module definition and its one initialisation step.

#include "lib/module.h"

#include <cstdint>

#include "lib/budget_engine.h"
#include "lib/build_identity.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/candidate_explanation.h"
#include "lib/kernel_records.h"
#include "lib/outcome_records.h"
#include "lib/policy_snapshot.h"
#include "kernel/records.h"
#include "text.h"

namespace morvatel::py {

bool add_name(PyObject* module, const char* name, PyObject* value_in) {
  Ref value = Ref::steal(value_in);
  // A value that could not be made is that name's failure; it is never
  // listed.
  if (!value) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    type_error(str_cat("'", type_name_of(all.get()), "' object cannot be converted to 'PyList'"));
    return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    raise_panic(str_cat("could not append __name__ to __all__: ", name));
    return false;
  }
  return PyObject_SetAttrString(module, name, value.get()) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  Py_INCREF(reinterpret_cast<PyObject*>(type));
  return add_name(module, name, reinterpret_cast<PyObject*>(type));
}

namespace {

bool add_constants(PyObject* m) {
  const BuildIdentity& id = kBuildIdentity;
  struct IntConstant {
    const char* name;
    uint64_t value;
  };
  const IntConstant head[] = {
      {"ALL_PROVIDERS", UINT64_MAX},
      {"ALL_REGIONS", UINT64_MAX},
      {"MICROCENTS_PER_CENT", 1000000},
      {"FULL_PROBABILITY_BPS", kFullProbabilityBps},
  };
  for (const auto& c : head) {
    if (!add_name(m, c.name, from_int(c.value))) return false;
  }
  if (!add_name(m, "BUILD_COMMIT_SHA", from_str(id.commit_sha)) ||
      !add_name(m, "BUILD_TREE_SHA", from_str(id.tree_sha)) ||
      !add_name(m, "BUILD_SOURCE_DIGEST", from_str(id.tree_sha)) ||
      !add_name(m, "BUILD_LOCKFILE_SHA256", from_str(id.lockfile_sha256)) ||
      !add_name(m, "BUILD_DIRTY", from_bool(id.dirty)) ||
      !add_name(m, "BUILD_IDENTITY_VERIFIED", from_bool(id.verified))) {
    return false;
  }
  const char* action_names[] = {"ACTION_EXECUTE_REQUESTED", "ACTION_SUBSTITUTE", "ACTION_REJECT"};
  for (size_t i = 0; i < std::size(kAllActions); ++i) {
    if (!add_name(m, action_names[i], from_int(code(kAllActions[i])))) return false;
  }
  const char* reason_names[] = {"REASON_REQUESTED_MODEL_MAXIMIZES_UTILITY",
                                "REASON_ALTERNATIVE_MAXIMIZES_UTILITY",
                                "REASON_RISK_HARD_LIMIT",
                                "REASON_CONFIDENCE_HARD_LIMIT",
                                "REASON_NO_ENABLED_MODEL",
                                "REASON_QUALITY_CONSTRAINT",
                                "REASON_LATENCY_CONSTRAINT",
                                "REASON_CAPABILITY_CONSTRAINT",
                                "REASON_PROVIDER_CONSTRAINT",
                                "REASON_REGION_CONSTRAINT",
                                "REASON_BUDGET_CONSTRAINT",
                                "REASON_NON_POSITIVE_UTILITY",
                                "REASON_RISK_CEILING_CONSTRAINT"};
  static_assert(std::size(reason_names) == std::size(kAllReasons));
  for (size_t i = 0; i < std::size(kAllReasons); ++i) {
    if (!add_name(m, reason_names[i], from_int(code(kAllReasons[i])))) return false;
  }
  return true;
}

int exec_module(PyObject* m) {
  return guarded([&]() -> int {
    // Classes and exception classes are made once per process; handing them
    // to a second interpreter would share mutable objects across
    // interpreters, so only the main interpreter may load the module.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
      raise(PyExc_ImportError,
            "morvatel._core does not support sub-interpreters; import it from the main "
            "interpreter");
      return -1;
    }
    bool ok = add_class(m, "KernelModel", kernel_model_type()) &&
              add_class(m, "KernelInput", kernel_input_type()) &&
              add_class(m, "KernelDecision", kernel_decision_type()) &&
              add_class(m, "PolicySnapshot", policy_snapshot_type()) &&
              add_class(m, "BudgetEngine", budget_engine_type()) &&
              add_class(m, "CandidateExplanation", candidate_explanation_type()) &&
              add_class(m, "Observation", observation_type()) &&
              add_class(m, "Outcome", outcome_type()) && register_production(m) && add_constants(m);
    return ok ? 0 : -1;
  });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace morvatel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
  return PyModuleDef_Init(&morvatel::py::g_module);
}
