#include "production/json_errors.h"

#include <string>

#include "json/writer.h"
#include "lib/errors.h"
#include "production/exceptions.h"
#include "text.h"

namespace morvatel::py {

std::nullptr_t invalid_value(json::Error error) {
  return raise_error(ErrorClass::ArtifactValidation, error.message());
}

std::nullptr_t runtime_error(json::Error error) {
  return raise_error(ErrorClass::Morvatel, error.message());
}

PyObject* json_value_to_dict(json::Value value) {
  std::string text;
  text.reserve(128);
  {
    json::StringSink sink(text);
    if (auto r = json::write_value(sink, value, json::Layout::Compact); !r) {
      return runtime_error(std::move(r.error()));
    }
  }
  // Imported on every call: the interpreter's module cache makes this a
  // lookup, and it follows whatever `json` the interpreter has.
  Ref module = Ref::steal(PyImport_ImportModule("json"));
  if (!module) return nullptr;
  Ref loads = Ref::steal(PyObject_GetAttrString(module.get(), "loads"));
  if (!loads) return nullptr;
  Ref str = Ref::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) return nullptr;
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(loads.get(), str.get(), nullptr));
  if (!result) return nullptr;
  if (!PyDict_Check(result.get())) {
    return type_error(
        str_cat("expected json.loads to return a dict, found ", type_name_of(result.get())));
  }
  return result.release();
}

}  // namespace morvatel::py
