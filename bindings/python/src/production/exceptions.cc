#include "production/exceptions.h"

#include "lib/errors.h"

namespace morvatel::py {

namespace {

struct ExceptionSpec {
  const char* qualified_name;
  const char* doc;
};

constexpr ExceptionSpec kSpecs[] = {
    {"morvatel._core.MorvatelError",
     "Base exception of the production interfaces of morvatel._core."},
    {"morvatel._core.ArtifactValidationError",
     "Malformed key, JSON artifact, digest, or metadata."},
    {"morvatel._core.DecisionVerificationError",
     "A decision failed exact deterministic replay verification."},
    {"morvatel._core.ReceiptError",
     "Decision receipt issuance, claim, anchor, or signature failure."},
    {"morvatel._core.ProvenanceError",
     "Signed policy provenance or pinned-key verification failure."},
    {"morvatel._core.WalError", "Audited WAL integrity, locking, durability, or replay failure."},
    {"morvatel._core.PersistenceError",
     "Snapshot, anchor, checkpoint, restore, or recovery failure."},
    {"morvatel._core.StateTrajectoryError", "State trajectory linkage or replay failure."},
};

constexpr const char* kNames[] = {
    "MorvatelError",    "ArtifactValidationError", "DecisionVerificationError",
    "ReceiptError",     "ProvenanceError",         "WalError",
    "PersistenceError", "StateTrajectoryError"};

// Classes live until the process ends, so plain pointers suffice.
PyObject* g_classes[std::size(kSpecs)] = {};

}  // namespace

PyObject* exception_class(ErrorClass which) {
  size_t i = static_cast<size_t>(which);
  if (g_classes[i] != nullptr) return g_classes[i];
  PyObject* base = PyExc_Exception;
  if (which != ErrorClass::Morvatel) {
    base = exception_class(ErrorClass::Morvatel);
    if (base == nullptr) return nullptr;
  }
  PyObject* cls = PyErr_NewExceptionWithDoc(kSpecs[i].qualified_name, kSpecs[i].doc, base, nullptr);
  if (cls == nullptr) {
    raise_panic("Failed to initialize new exception type.");
    return nullptr;
  }
  // Making a class can run interpreter code (a collection, say) and so let
  // another thread make it too; the first one stored is the only one used.
  if (g_classes[i] != nullptr) {
    Py_DECREF(cls);
    return g_classes[i];
  }
  g_classes[i] = cls;
  return cls;
}

const char* exception_name(ErrorClass which) { return kNames[static_cast<size_t>(which)]; }

std::nullptr_t raise_error(ErrorClass which, std::string_view message) {
  PyObject* cls = exception_class(which);
  if (cls == nullptr) return nullptr;
  return raise(cls, message);
}

}  // namespace morvatel::py
