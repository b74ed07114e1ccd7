#include "production/budget_persistence.h"

#include <array>

#include "budget/engine.h"
#include "lib/args.h"
#include "lib/budget_engine.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/gil.h"
#include "persistence.h"
#include "production/json_errors.h"
#include "production/path_args.h"
#include "production/persistence_errors.h"

namespace morvatel::py {

namespace {

// `hook` was handed to the save: when a signal handler raised while the save
// waited for the target's lock, that exception stands and nothing is added.
PyObject* snapshot_result(std::expected<budget::BudgetSnapshot, PersistenceError> r,
                          const PythonBlockingHook* hook = nullptr) {
  if (!r) {
    if (hook != nullptr && hook->exception_pending()) return nullptr;
    return persistence_error(std::move(r.error()));
  }
  return json_value_to_dict(snapshot_json_value(*r));
}

}  // namespace

PyObject* budget_checkpoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::array<const char*, 1> names = {"path"};
    BoundArgs a;
    if (!bind("checkpoint", names, args, nargs, kwnames, a)) return nullptr;
    auto path = path_arg(a[0], "path");
    if (!path) return nullptr;
    // The capture is taken before the save waits for the target's sibling
    // lock, so other threads may run (and Ctrl-C may end the wait) then.
    PythonBlockingHook hook;
    return snapshot_result(checkpoint(budget_engine_of(self), *path, std::nullopt, &hook), &hook);
  });
}

PyObject* budget_checkpoint_with_wal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::array<const char*, 2> names = {"path", "wal_sequence"};
    BoundArgs a;
    if (!bind("checkpoint_with_wal", names, args, nargs, kwnames, a)) return nullptr;
    auto path = path_arg(a[0], "path");
    if (!path) return nullptr;
    auto sequence = to_int<uint64_t>(a[1], "wal_sequence");
    if (!sequence) return nullptr;
    PythonBlockingHook hook;
    return snapshot_result(checkpoint(budget_engine_of(self), *path, *sequence, &hook), &hook);
  });
}

PyObject* budget_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::array<const char*, 1> names = {"path"};
    BoundArgs a;
    if (!bind("restore", names, args, nargs, kwnames, a)) return nullptr;
    auto path = path_arg(a[0], "path");
    if (!path) return nullptr;
    return snapshot_result(restore(budget_engine_of(self), *path));
  });
}

PyObject* budget_migrate_legacy_snapshot_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::array<const char*, 3> names = {"source", "destination",
                                              "trusted_next_reservation_id"};
    BoundArgs a;
    if (!bind("migrate_legacy_snapshot_file", names, args, nargs, kwnames, a)) return nullptr;
    auto source = path_arg(a[0], "source");
    if (!source) return nullptr;
    auto destination = path_arg(a[1], "destination");
    if (!destination) return nullptr;
    auto id = to_int<uint64_t>(a[2], "trusted_next_reservation_id");
    if (!id) return nullptr;
    PythonBlockingHook hook;
    return snapshot_result(migrate_legacy_snapshot_file(*source, *destination, *id, &hook), &hook);
  });
}

}  // namespace morvatel::py
