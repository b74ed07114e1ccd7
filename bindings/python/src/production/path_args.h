#ifndef MORVATEL_PY_PRODUCTION_PATH_ARGS_H_
#define MORVATEL_PY_PRODUCTION_PATH_ARGS_H_

// File-path arguments: a str or an os.PathLike, turned into the path's bytes
// as the operating system takes them (the file-system encoding, so a str
// that came from os.listdir with undecodable bytes round-trips).

#include <optional>
#include <string>
#include <string_view>

#include "lib/py.h"

namespace morvatel::py {

// The path's bytes; TypeError noted with `name` for anything but a str or
// an os.PathLike (a bare bytes object included). A NUL byte is kept here
// and refused by the file-system layer when the path is used.
std::optional<std::string> path_arg(PyObject* o, std::string_view name);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_PATH_ARGS_H_
