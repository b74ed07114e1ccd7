#ifndef MORVATEL_PY_PRODUCTION_EXCEPTIONS_H_
#define MORVATEL_PY_PRODUCTION_EXCEPTIONS_H_

// The module's exception hierarchy: MorvatelError and its seven direct
// subclasses, each made once per process on first use. The mapping
// functions that turn core error values into these live beside the error
// types they map (see errors_*.h); they all end in raise_error.

#include <string_view>

#include "lib/py.h"

namespace morvatel::py {

// In registration order.
enum class ErrorClass {
  Morvatel,
  ArtifactValidation,
  DecisionVerification,
  Receipt,
  Provenance,
  Wal,
  Persistence,
  StateTrajectory,
};

inline constexpr ErrorClass kAllErrorClasses[] = {
    ErrorClass::Morvatel,    ErrorClass::ArtifactValidation, ErrorClass::DecisionVerification,
    ErrorClass::Receipt,     ErrorClass::Provenance,         ErrorClass::Wal,
    ErrorClass::Persistence, ErrorClass::StateTrajectory};

// The class object (borrowed, lives for the process); null with an
// exception set if the interpreter refuses to make it.
PyObject* exception_class(ErrorClass which);

// Short name of the class ("ReceiptError"), for registration.
const char* exception_name(ErrorClass which);

// Raises `cls(message)`. Returns nullptr for `return raise_error(...)`.
std::nullptr_t raise_error(ErrorClass which, std::string_view message);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_EXCEPTIONS_H_
