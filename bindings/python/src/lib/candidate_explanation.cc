#include "lib/candidate_explanation.h"


#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/types.h"
#include "text.h"

namespace morvatel::py {

namespace {

struct ExplanationObject {
  PyObject_HEAD
  CandidateExplanation rec;
};

PyTypeObject* g_type = nullptr;

const CandidateExplanation& rec(PyObject* self) {
  return reinterpret_cast<ExplanationObject*>(self)->rec;
}

bool is_rejected(const CandidateExplanation& c) { return c.status == CandidateStatus::Rejected; }
bool is_over_budget(const CandidateExplanation& c) {
  return c.status == CandidateStatus::OverBudget;
}
bool has_breakdown(const CandidateExplanation& c) {
  return c.status == CandidateStatus::NonPositiveUtility || c.status == CandidateStatus::Eligible;
}

PyObject* get_model_id(PyObject* self, void*) { return from_int(rec(self).model_id); }
PyObject* get_model_index(PyObject* self, void*) { return from_int(rec(self).model_index); }
PyObject* get_status(PyObject* self, void*) { return from_str(status_name(rec(self).status)); }
PyObject* get_gate(PyObject* self, void*) {
  return is_rejected(rec(self)) ? from_str(gate_name(rec(self).gate)) : none();
}
PyObject* get_measured(PyObject* self, void*) {
  return is_rejected(rec(self)) ? from_int(rec(self).measured) : none();
}
PyObject* get_limit(PyObject* self, void*) {
  const CandidateExplanation& c = rec(self);
  if (is_rejected(c)) return from_int(c.limit);
  if (is_over_budget(c)) return from_int(c.budget);
  return none();
}
PyObject* get_cost(PyObject* self, void*) {
  return is_rejected(rec(self)) ? none() : from_int(rec(self).cost);
}
PyObject* get_quality_adjusted(PyObject* self, void*) {
  return has_breakdown(rec(self)) ? from_int(rec(self).breakdown.quality_adjusted) : none();
}
PyObject* get_risk_penalty(PyObject* self, void*) {
  return has_breakdown(rec(self)) ? from_int(rec(self).breakdown.risk_penalty) : none();
}
PyObject* get_latency_penalty(PyObject* self, void*) {
  return has_breakdown(rec(self)) ? from_int(rec(self).breakdown.latency_penalty) : none();
}
PyObject* get_utility(PyObject* self, void*) {
  return has_breakdown(rec(self)) ? from_int(rec(self).breakdown.utility) : none();
}

PyGetSetDef kGetSet[] = {
    {"model_id", get_model_id, nullptr, nullptr, nullptr},
    {"model_index", get_model_index, nullptr, nullptr, nullptr},
    {"status", get_status, nullptr, nullptr, nullptr},
    {"gate", get_gate, nullptr, nullptr, nullptr},
    {"measured", get_measured, nullptr, nullptr, nullptr},
    {"limit", get_limit, nullptr, nullptr, nullptr},
    {"cost_microunits", get_cost, nullptr, nullptr, nullptr},
    {"quality_adjusted", get_quality_adjusted, nullptr, nullptr, nullptr},
    {"risk_penalty", get_risk_penalty, nullptr, nullptr, nullptr},
    {"latency_penalty", get_latency_penalty, nullptr, nullptr, nullptr},
    {"utility", get_utility, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const CandidateExplanation& c = rec(self);
    if (is_rejected(c)) {
      return from_str(str_cat("CandidateExplanation(model_id=", c.model_id, ", rejected on ",
                              gate_name(c.gate), ", measured=Some(", c.measured, "), limit=Some(",
                              c.limit, "))"));
    }
    if (has_breakdown(c)) {
      return from_str(str_cat("CandidateExplanation(model_id=", c.model_id, ", ",
                              status_name(c.status), ", utility=", c.breakdown.utility, ")"));
    }
    return from_str(
        str_cat("CandidateExplanation(model_id=", c.model_id, ", ", status_name(c.status), ")"));
  });
}

constexpr const char kDoc[] =
    "One candidate's place in a decision, flattened for Python.\n"
    "\n"
    "The four shapes of a verdict arrive as a `status` string and optional\n"
    "fields, because filtering a list on `status == \"rejected\"` reads better\n"
    "than matching on a tag. A field that does not apply to the shape is\n"
    "`None`, never zero, so no absent value can pass for a measured one.";

}  // namespace

PyTypeObject* candidate_explanation_type() {
  if (g_type != nullptr) return g_type;
  ClassSpec spec{"morvatel._core.CandidateExplanation",
                 kDoc,
                 static_cast<int>(sizeof(ExplanationObject)),
                 false,
                 {
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ExplanationObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(repr)},
                     {Py_tp_getset, kGetSet},
                 }};
  return cached_class(g_type, spec);
}

PyObject* wrap_explanation(const CandidateExplanation& c) {
  PyTypeObject* type = candidate_explanation_type();
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(new_object(type, &ExplanationObject::rec, c));
}

}  // namespace morvatel::py
