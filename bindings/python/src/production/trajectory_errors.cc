#include "production/trajectory_errors.h"

#include "production/exceptions.h"

namespace morvatel::py {

std::nullptr_t trajectory_error(TrajectoryError error) {
  return raise_error(ErrorClass::StateTrajectory, error.message());
}

}  // namespace morvatel::py
