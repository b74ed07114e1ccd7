#include "lib/errors.h"

#include <string>

namespace morvatel::py {

std::nullptr_t raise(PyObject* cls, std::string_view message) {
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(cls, text.get());
  return nullptr;
}

PyObject* panic_exception_type() {
  // Lives for the rest of the process, like every class of the module.
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    PyObject* made = PyErr_NewExceptionWithDoc(
        "morvatel.panic.PanicException",
        "An internal invariant of morvatel was broken; this is a bug, not a usage error.",
        PyExc_BaseException, nullptr);
    // Another thread may have made it while this one ran interpreter code
    // inside the call; keep the first.
    if (made != nullptr && cls != nullptr) {
      Py_DECREF(made);
    } else if (made != nullptr) {
      cls = made;
    }
    if (cls == nullptr) return nullptr;
  }
  return cls;
}

std::nullptr_t raise_panic(std::string_view message) {
  PyObject* cls = panic_exception_type();
  if (cls == nullptr) return nullptr;
  return raise(cls, message);
}

void note_processing(std::string_view name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  std::string note = "while processing '";
  note.append(name);
  note.push_back('\'');
  if (value != nullptr) {
    Ref r = Ref::steal(PyObject_CallMethod(value, "add_note", "s#", note.data(),
                                           static_cast<Py_ssize_t>(note.size())));
    // Failing to attach a note must not replace the original error.
    if (!r) PyErr_Clear();
  }
  PyErr_Restore(type, value, tb);
}

std::nullptr_t wrong_type(PyObject* o, std::string_view expected, std::string_view name) {
  std::string message = "'";
  message.append(type_name_of(o));
  message.append("' object cannot be converted to '");
  message.append(expected);
  message.push_back('\'');
  type_error(message);
  note_processing(name);
  return nullptr;
}

int refuse_delete() {
  raise(PyExc_AttributeError, "property has no deleter");
  return -1;
}

std::string type_name_of(PyObject* o) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len);
  if (s == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(s, static_cast<size_t>(len));
}

}  // namespace morvatel::py
