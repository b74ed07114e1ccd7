#include "production/path_args.h"

#include "lib/convert.h"
#include "lib/errors.h"
#include "text.h"

namespace morvatel::py {

std::optional<std::string> path_arg(PyObject* o, std::string_view name) {
  auto refuse = [&]() -> std::optional<std::string> {
    type_error(str_cat("expected str or os.PathLike object, not ", type_name_of(o)));
    note_processing(name);
    return std::nullopt;
  };
  // os.fspath would take a bare bytes object as it is; a path argument is a
  // str or a path object.
  if (PyBytes_Check(o)) return refuse();
  Ref fs = Ref::steal(PyOS_FSPath(o));
  if (!fs) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return refuse();
    }
    note_processing(name);
    return std::nullopt;
  }
  Ref bytes;
  if (PyUnicode_Check(fs.get())) {
    bytes = Ref::steal(PyUnicode_EncodeFSDefault(fs.get()));
    if (!bytes) {
      note_processing(name);
      return std::nullopt;
    }
  } else {
    bytes = std::move(fs);
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) {
    note_processing(name);
    return std::nullopt;
  }
  return std::string(data, static_cast<size_t>(len));
}

std::optional<std::string_view> hmac_key_arg(PyObject* o, bool& ok) {
  ok = true;
  if (o == nullptr || o == Py_None) return std::nullopt;
  auto bytes = to_bytes(o, "hmac_key");
  ok = bytes.has_value();
  return bytes;
}

}  // namespace morvatel::py
