#ifndef MORVATEL_PY_PRODUCTION_PATH_ARGS_H_
#define MORVATEL_PY_PRODUCTION_PATH_ARGS_H_

// File-path arguments: a str or an os.PathLike, turned into the path's bytes
// as the operating system takes them (the file-system encoding, so a str
// that came from os.listdir with undecodable bytes round-trips). And the
// optional `hmac_key` that goes with a log's path.

#include <optional>
#include <string>
#include <string_view>

#include "lib/py.h"

namespace morvatel::py {

// The path's bytes; TypeError noted with `name` for anything but a str or
// an os.PathLike (a bare bytes object included). A NUL byte is kept here
// and refused by the file-system layer when the path is used.
std::optional<std::string> path_arg(PyObject* o, std::string_view name);

// An `hmac_key` argument: None or not given is a plain log (empty, `ok`
// true); otherwise bytes, TypeError noted "hmac_key" for anything else
// (`ok` false with the exception set). Its length is left to the caller:
// where that check stands among the other conversions decides which error
// a call with several bad arguments raises.
std::optional<std::string_view> hmac_key_arg(PyObject* o, bool& ok);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_PATH_ARGS_H_
