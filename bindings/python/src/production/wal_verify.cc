#include "production/wal_verify.h"

#include <optional>
#include <string>

#include "lib/args.h"
#include "lib/convert.h"
#include "lib/dict_keys.h"
#include "lib/errors.h"
#include "lib/module.h"
#include "lib/policy_snapshot.h"
#include "production/artifacts.h"
#include "production/exceptions.h"
#include "production/path_args.h"
#include "production/wal_anchor.h"
#include "production/wal_errors.h"
#include "wal/anchor.h"
#include "wal/chain.h"
#include "wal/replay.h"

namespace morvatel::py {

namespace {

PyObject* verify_audited_wal(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path", "hmac_key", "anchor"};
    static const Signature sig{"verify_audited_wal", names, 1, 1};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto path = path_arg(b[0], "path");
    if (!path) return nullptr;
    bool ok;
    auto key = hmac_key_arg(b[1], ok);
    if (!ok) return nullptr;
    const wal::WalAnchor* anchor = nullptr;
    if (b[2] != nullptr && b[2] != Py_None) {
      anchor = anchor_arg(b[2], "anchor");
      if (anchor == nullptr) return nullptr;
    }
    if (key && !check_hmac_key(*key)) return nullptr;

    auto head = wal::validate_chain_inner(*path, key);
    if (!head) return wal_error(std::move(head.error()));
    if (anchor != nullptr) {
      auto checked = wal::verify_head(*anchor, head->sequence, head->last_hash, key.has_value());
      if (!checked) return wal_error(std::move(checked.error()));
    }
    Ref seq = Ref::steal(from_int(head->sequence));
    if (!seq) return nullptr;
    Ref hash = Ref::steal(from_str(head->last_hash));
    if (!hash) return nullptr;
    return PyTuple_Pack(2, seq.get(), hash.get());
  });
}

PyObject* verdict_dict(const wal::WalReplayVerdict& v) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  if (!dict_put(dict.get(), MORVATEL_KEY("sequence"), from_int(v.sequence)) ||
      !dict_put(dict.get(), MORVATEL_KEY("replay_valid"), from_bool(v.replay_valid)) ||
      !dict_put(dict.get(), MORVATEL_KEY("policy_digest_match"),
                from_bool(v.policy_digest_match)) ||
      !dict_put(dict.get(), MORVATEL_KEY("input_digest_match"), from_bool(v.input_digest_match)) ||
      !dict_put(dict.get(), MORVATEL_KEY("decision_digest_match"),
                from_bool(v.decision_digest_match))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* replay_verify_audited_wal(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path", "snapshot", "hmac_key", "max_entries",
                                        "max_total_bytes"};
    static const Signature sig{"replay_verify_audited_wal", names, 2, 2};
    BoundArgs b;
    if (!bind_fast(sig, args, nargs, kwnames, b)) return nullptr;
    auto path = path_arg(b[0], "path");
    if (!path) return nullptr;
    const PolicySnapshot* snapshot = snapshot_arg(b[1], "snapshot");
    if (snapshot == nullptr) return nullptr;
    bool ok;
    auto key = hmac_key_arg(b[2], ok);
    if (!ok) return nullptr;
    uint64_t max_entries = wal::kDefaultMaxReplayEntries;
    if (b[3] != nullptr) {
      auto v = to_int<uint64_t>(b[3], "max_entries");
      if (!v) return nullptr;
      max_entries = *v;
    }
    uint64_t max_total_bytes = wal::kDefaultMaxReplayBytes;
    if (b[4] != nullptr) {
      auto v = to_int<uint64_t>(b[4], "max_total_bytes");
      if (!v) return nullptr;
      max_total_bytes = *v;
    }
    if (key && !check_hmac_key(*key)) return nullptr;

    auto verdicts = wal::replay_verify(*path, *snapshot, key, max_entries, max_total_bytes);
    if (!verdicts) return wal_error(std::move(verdicts.error()));
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(verdicts->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < verdicts->size(); ++i) {
      PyObject* d = verdict_dict((*verdicts)[i]);
      if (d == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d);
    }
    return list.release();
  });
}


PyMethodDef kVerifyDef = {"verify_audited_wal", fastcall(verify_audited_wal), kFast,
                          "verify_audited_wal(path, *, hmac_key=None, anchor=None)\n--\n\n"};
PyMethodDef kReplayDef = {
    "replay_verify_audited_wal", fastcall(replay_verify_audited_wal), kFast,
    "replay_verify_audited_wal(path, snapshot, *, hmac_key=None, max_entries=100000, "
    "max_total_bytes=268435456)\n--\n\n"};

bool add_function(PyObject* module, PyMethodDef* def) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  return add_name(module, def->ml_name, PyCFunction_NewEx(def, module, name.get()));
}

}  // namespace

bool add_verify_audited_wal(PyObject* module) { return add_function(module, &kVerifyDef); }

bool add_replay_verify_audited_wal(PyObject* module) { return add_function(module, &kReplayDef); }

}  // namespace morvatel::py
