#ifndef MORVATEL_PY_PRODUCTION_TRAJECTORY_ERRORS_H_
#define MORVATEL_PY_PRODUCTION_TRAJECTORY_ERRORS_H_

// TrajectoryError at the Python boundary: StateTrajectoryError with the
// error's text.

#include <cstddef>

#include "state.h"

namespace morvatel::py {

// Raises; returns nullptr for `return trajectory_error(...)`.
std::nullptr_t trajectory_error(TrajectoryError error);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_TRAJECTORY_ERRORS_H_
