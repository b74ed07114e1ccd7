#include "production/plan_recovery.h"

#include <optional>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/module.h"
#include "persistence.h"
#include "production/artifacts.h"
#include "production/exceptions.h"
#include "production/json_errors.h"
#include "production/path_args.h"
#include "production/persistence_errors.h"
#include "production/wal_anchor.h"
#include "recovery_plan.h"

namespace morvatel::py {

namespace {

PyObject* plan_recovery(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"snapshot_path", "wal_path", "hmac_key", "anchor"};
    static const Signature sig{"plan_recovery", names, 2, 2};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto snapshot_path = path_arg(b[0], "snapshot_path");
    if (!snapshot_path) return nullptr;
    auto wal_path = path_arg(b[1], "wal_path");
    if (!wal_path) return nullptr;
    bool ok;
    auto key = hmac_key_arg(b[2], ok);
    if (!ok) return nullptr;
    const wal::WalAnchor* anchor = nullptr;
    if (b[3] != nullptr && b[3] != Py_None) {
      anchor = anchor_arg(b[3], "anchor");
      if (anchor == nullptr) return nullptr;
    }
    if (key && !check_hmac_key(*key)) return nullptr;

    auto plan = recovery_plan_inner(*snapshot_path, *wal_path, key, anchor);
    if (!plan) return persistence_error(std::move(plan.error()));
    json::Object out;
    out.reserve(4);
    out.set("total_wal_entries", plan->total_wal_entries);
    out.set("entries_to_replay", plan->entries_to_replay);
    out.set("wal_high_watermark", plan->wal_high_watermark);
    out.set("snapshot", snapshot_json_value(plan->snapshot));
    return json_value_to_dict(std::move(out));
  });
}

PyMethodDef kPlanRecoveryDef = {
    "plan_recovery", fastcall(plan_recovery), kFast,
    "plan_recovery(snapshot_path, wal_path, *, hmac_key=None, anchor=None)\n--\n\n"};

}  // namespace

bool add_plan_recovery(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  return add_name(module, kPlanRecoveryDef.ml_name,
                  PyCFunction_NewEx(&kPlanRecoveryDef, module, name.get()));
}

}  // namespace morvatel::py
