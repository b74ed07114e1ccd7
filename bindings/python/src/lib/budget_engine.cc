#include "lib/budget_engine.h"

#include <array>

#include "budget/engine.h"
#include "digest.h"
#include "lib/args.h"
#include "lib/convert.h"
#include "lib/dict_keys.h"
#include "lib/errors.h"
#include "lib/types.h"
#include "production/budget_persistence.h"
#include "text.h"

namespace morvatel::py {

namespace {

using budget::BudgetEngine;

struct EngineObject {
  PyObject_HEAD
  BudgetEngine engine;
};

BudgetEngine& engine_of(PyObject* self) { return reinterpret_cast<EngineObject*>(self)->engine; }

// Dict keys and status texts, interned once: the ledger methods are hot.
enum Name : uint8_t {
  kReservationId,
  kStatus,
  kRemaining,
  kRequired,
  kCurrentReserved,
  kMaxReserved,
  kActual,
  kReturned,
  kAdded,
  kNewInitial,
  kReserved,
  kInsufficient,
  kMissingTenant,
  kExposureLimitExceeded,
  kOverflow,
  kCommitted,
  kReleased,
  kOverrun,
  kInvalidAmount,
  kMissingReservation,
  kToppedUp,
  kNameCount,
};

constexpr std::array<const char*, kNameCount> kNameTexts = {
    "reservation_id",
    "status",
    "remaining_microcents",
    "required_microcents",
    "current_reserved_microcents",
    "max_reserved_microcents",
    "actual_microcents",
    "returned_microcents",
    "added_microcents",
    "new_initial_microcents",
    "reserved",
    "insufficient",
    "missing_tenant",
    "exposure_limit_exceeded",
    "overflow",
    "committed",
    "released",
    "overrun",
    "invalid_amount",
    "missing_reservation",
    "topped_up",
};

// Borrowed, immortal for the process; null with an exception set.
PyObject* name(Name n) {
  static std::array<PyObject*, kNameCount> cache{};
  return interned_key(cache[n], kNameTexts[n]);
}

// Builds a dict in insertion order; the first failure sticks and done()
// then returns null with the exception set.
class DictBuilder {
 public:
  DictBuilder() : dict_(Ref::steal(PyDict_New())) {}

  // Steals `value`.
  DictBuilder& put(PyObject* key, PyObject* value) {
    Ref v = Ref::steal(value);
    if (dict_ && (key == nullptr || !v || PyDict_SetItem(dict_.get(), key, v.get()) < 0)) {
      dict_ = Ref();
    }
    return *this;
  }
  DictBuilder& put(Name key, PyObject* value) { return put(name(key), value); }
  // The value is one of the interned names.
  DictBuilder& put_name(Name key, Name value) {
    PyObject* v = name(value);
    Py_XINCREF(v);
    return put(name(key), v);
  }

  PyObject* done() { return dict_.release(); }

 private:
  Ref dict_;
};

// --- results to dicts ---

PyObject* reserve_dict(const budget::ReserveOutcome& o) {
  using K = budget::ReserveOutcome::Kind;
  DictBuilder d;
  d.put(kReservationId, o.kind == K::Reserved ? from_int(o.reservation_id) : none());
  switch (o.kind) {
    case K::Reserved: d.put_name(kStatus, kReserved).put(kRemaining, from_int(o.remaining)); break;
    case K::Insufficient:
      d.put_name(kStatus, kInsufficient)
          .put(kRemaining, from_int(o.remaining))
          .put(kRequired, from_int(o.required));
      break;
    case K::MissingTenant: d.put_name(kStatus, kMissingTenant); break;
    case K::ExposureLimitExceeded:
      d.put_name(kStatus, kExposureLimitExceeded)
          .put(kCurrentReserved, from_int(o.current_reserved))
          .put(kMaxReserved, from_int(o.max_reserved));
      break;
    case K::Overflow:
      d.put_name(kStatus, kOverflow).put(kCurrentReserved, from_int(o.current_reserved));
      break;
  }
  return d.done();
}

PyObject* settlement_dict(const budget::Settlement& s) {
  using K = budget::Settlement::Kind;
  DictBuilder d;
  switch (s.kind) {
    case K::Committed:
      d.put_name(kStatus, kCommitted)
          .put(kRemaining, from_int(s.remaining))
          .put(kActual, from_int(s.amount));
      break;
    case K::Released:
      d.put_name(kStatus, kReleased)
          .put(kRemaining, from_int(s.remaining))
          .put(kReturned, from_int(s.amount));
      break;
    case K::Overrun: d.put_name(kStatus, kOverrun).put(kRemaining, from_int(s.remaining)); break;
    case K::InvalidAmount: d.put_name(kStatus, kInvalidAmount); break;
    case K::MissingReservation: d.put_name(kStatus, kMissingReservation); break;
    case K::MissingTenant: d.put_name(kStatus, kMissingTenant); break;
    case K::Overflow: d.put_name(kStatus, kOverflow).put(kRemaining, from_int(s.remaining)); break;
  }
  return d.done();
}

PyObject* top_up_dict(const budget::TopUpOutcome& t) {
  using K = budget::TopUpOutcome::Kind;
  DictBuilder d;
  switch (t.kind) {
    case K::ToppedUp:
      d.put_name(kStatus, kToppedUp)
          .put(kAdded, from_int(t.added))
          .put(kNewInitial, from_int(t.new_initial))
          .put(kRemaining, from_int(t.remaining));
      break;
    case K::MissingTenant: d.put_name(kStatus, kMissingTenant); break;
    case K::InvalidAmount: d.put_name(kStatus, kInvalidAmount); break;
    case K::Overflow: d.put_name(kStatus, kOverflow); break;
  }
  return d.done();
}

PyObject* snapshot_dict(const budget::BudgetSnapshot& s) {
  Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(s.tenants.size())));
  if (!rows) return nullptr;
  for (size_t i = 0; i < s.tenants.size(); ++i) {
    const budget::TenantLedger& t = s.tenants[i];
    PyObject* row = DictBuilder()
                        .put(MORVATEL_KEY("tenant_id"), from_str(t.tenant_id))
                        .put(MORVATEL_KEY("initial_microcents"), from_int(t.initial_microcents))
                        .put(MORVATEL_KEY("remaining_microcents"), from_int(t.remaining_microcents))
                        .put(MORVATEL_KEY("reserved_microcents"), from_int(t.reserved_microcents))
                        .put(MORVATEL_KEY("committed_microcents"), from_int(t.committed_microcents))
                        .done();
    if (row == nullptr) return nullptr;
    PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row);  // steals
  }
  return DictBuilder()
      .put(MORVATEL_KEY("version"), from_int(s.version))
      .put(MORVATEL_KEY("active_reservations"), from_int(s.active_reservations))
      .put(MORVATEL_KEY("wal_high_watermark"), from_optional(s.wal_high_watermark))
      .put(MORVATEL_KEY("tenants"), rows.release())
      .done();
}

PyObject* status_dict(const budget::ConservationStatus& s) {
  using K = budget::ConservationStatus::Kind;
  switch (s.kind()) {
    case K::Balanced: return DictBuilder().put(MORVATEL_KEY("status"), from_str("balanced")).done();
    case K::Violation:
      return DictBuilder()
          .put(MORVATEL_KEY("status"), from_str("violation"))
          .put(MORVATEL_KEY("tenant_id"), from_str(s.tenant_id()))
          .put(MORVATEL_KEY("delta_microcents"), from_int(s.delta_microcents()))
          .done();
    case K::AggregateOverflow:
      return DictBuilder().put(MORVATEL_KEY("status"), from_str("aggregate_overflow")).done();
  }
  return nullptr;
}

// --- argument helpers ---

// A method of the form f(tenant_id, <signed 64-bit amount>).
template <typename F>
PyObject* tenant_amount_method(const char* function, const char* amount_name, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames, F&& body) {
  return guarded([&]() -> PyObject* {
    const std::array<const char*, 2> names = {"tenant_id", amount_name};
    BoundArgs a;
    if (!bind(function, names, args, nargs, kwnames, a)) return nullptr;
    auto tenant = to_str(a[0], "tenant_id");
    if (!tenant) return nullptr;
    auto amount = to_int<int64_t>(a[1], amount_name);
    if (!amount) return nullptr;
    return body(*tenant, *amount);
  });
}

template <std::optional<int64_t> (BudgetEngine::*Query)(std::string_view) const>
PyObject* query_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const char* function) {
  return guarded([&]() -> PyObject* {
    const std::array<const char*, 1> names = {"tenant_id"};
    BoundArgs a;
    if (!bind(function, names, args, nargs, kwnames, a)) return nullptr;
    auto tenant = to_str(a[0], "tenant_id");
    if (!tenant) return nullptr;
    return from_optional((engine_of(self).*Query)(*tenant));
  });
}

// --- methods ---

PyObject* ensure_tenant(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return tenant_amount_method("ensure_tenant", "budget_microcents", args, nargs, kwnames,
                              [&](std::string_view tenant, int64_t budget) -> PyObject* {
                                auto r = engine_of(self).ensure_tenant(tenant, budget);
                                if (!r) return value_error(r.error().message());
                                return none();
                              });
}

PyObject* set_max_reserved_microcents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return tenant_amount_method("set_max_reserved_microcents", "max_microcents", args, nargs, kwnames,
                              [&](std::string_view tenant, int64_t max) -> PyObject* {
                                auto r = engine_of(self).set_max_reserved_microcents(tenant, max);
                                if (!r) return value_error(r.error().message());
                                return none();
                              });
}

PyObject* top_up_tenant(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return tenant_amount_method("top_up_tenant", "amount_microcents", args, nargs, kwnames,
                              [&](std::string_view tenant, int64_t amount) {
                                return top_up_dict(engine_of(self).top_up_tenant(tenant, amount));
                              });
}

PyObject* try_reserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tenant_amount_method("try_reserve", "amount_microcents", args, nargs, kwnames,
                              [&](std::string_view tenant, int64_t amount) {
                                return reserve_dict(engine_of(self).try_reserve(tenant, amount));
                              });
}

PyObject* commit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::array<const char*, 2> names = {"reservation_id", "actual_microcents"};
    BoundArgs a;
    if (!bind("commit", names, args, nargs, kwnames, a)) return nullptr;
    auto id = to_int<uint64_t>(a[0], "reservation_id");
    if (!id) return nullptr;
    auto actual = to_int<int64_t>(a[1], "actual_microcents");
    if (!actual) return nullptr;
    return settlement_dict(engine_of(self).commit(*id, *actual));
  });
}

PyObject* release(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const std::array<const char*, 1> names = {"reservation_id"};
    BoundArgs a;
    if (!bind("release", names, args, nargs, kwnames, a)) return nullptr;
    auto id = to_int<uint64_t>(a[0], "reservation_id");
    if (!id) return nullptr;
    return settlement_dict(engine_of(self).release(*id));
  });
}

PyObject* initial_microcents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return query_method<&BudgetEngine::initial_microcents>(self, args, nargs, kwnames,
                                                         "initial_microcents");
}
PyObject* remaining_microcents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return query_method<&BudgetEngine::remaining_microcents>(self, args, nargs, kwnames,
                                                           "remaining_microcents");
}
PyObject* reserved_microcents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return query_method<&BudgetEngine::reserved_microcents>(self, args, nargs, kwnames,
                                                          "reserved_microcents");
}
PyObject* committed_microcents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return query_method<&BudgetEngine::committed_microcents>(self, args, nargs, kwnames,
                                                           "committed_microcents");
}

PyObject* tenant_count(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return from_int(engine_of(self).tenant_count()); });
}

PyObject* active_reservations(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return from_int(engine_of(self).active_reservations()); });
}

PyObject* snapshot(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto snap = engine_of(self).try_snapshot();
    if (!snap) return value_error("reservation allocator exhausted");
    return snapshot_dict(*snap);
  });
}

PyObject* verify_conservation(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto status = engine_of(self).verify_conservation();
    if (!status) return raise_panic(budget::infallible_capture_failure(status.error()));
    return status_dict(*status);
  });
}

PyObject* prove_conservation(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto proof = engine_of(self).prove_conservation();
    if (!proof) {
      if (proof.error().kind == budget::ProofError::Kind::AllocatorExhausted) {
        return raise_panic(proof.error().message());
      }
      return value_error(proof.error().message());
    }
    const budget::ConservationProof& p = *proof;
    return DictBuilder()
        .put(MORVATEL_KEY("ledger_digest_hex"), from_str(bytes_to_hex(p.ledger_digest)))
        .put(MORVATEL_KEY("snapshot_version"), from_int(p.snapshot_version))
        .put(MORVATEL_KEY("tenant_count"), from_int(p.tenant_count))
        .put(MORVATEL_KEY("active_reservations"), from_int(p.active_reservations))
        .put(MORVATEL_KEY("total_initial_microcents"), from_int(p.total_initial))
        .put(MORVATEL_KEY("total_committed_microcents"), from_int(p.total_committed))
        .put(MORVATEL_KEY("aggregate_totals_representable"), from_bool(true))
        .done();
  });
}

PyObject* certify(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto cert = engine_of(self).certify();
    if (!cert) return raise_panic(budget::infallible_capture_failure(cert.error()));
    const budget::Certificate& c = *cert;
    return DictBuilder()
        .put(MORVATEL_KEY("snapshot_version"), from_int(c.snapshot_version))
        .put(MORVATEL_KEY("ledger_digest_hex"), from_str(bytes_to_hex(c.ledger_digest)))
        .put(MORVATEL_KEY("tenant_count"), from_int(c.tenant_count))
        .put(MORVATEL_KEY("active_reservations"), from_int(c.active_reservations))
        .put(MORVATEL_KEY("conservation_balanced"), from_bool(c.conservation_balanced))
        .put(MORVATEL_KEY("total_initial_microcents"), from_int(c.total_initial))
        .put(MORVATEL_KEY("total_committed_microcents"), from_int(c.total_committed))
        .put(MORVATEL_KEY("aggregate_totals_representable"),
             from_bool(c.aggregate_totals_representable))
        .put(MORVATEL_KEY("committed_since_last_certificate"),
             from_int(c.committed_since_last_certificate))
        .done();
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const BudgetEngine& e = engine_of(self);
    uint64_t tenants = e.tenant_count();
    uint64_t reservations = e.active_reservations();
    return from_str(
        str_cat("BudgetEngine(tenants=", tenants, ", active_reservations=", reservations, ")"));
  });
}

PyObject* new_engine(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Signature sig{"BudgetEngine"};
    BoundArgs bound;
    if (!bind_tuple(sig, args, kwargs, bound)) return nullptr;
    return reinterpret_cast<PyObject*>(new_object(type, &EngineObject::engine));
  });
}


PyMethodDef kMethods[] = {
    {"ensure_tenant", fastcall(ensure_tenant), kFast,
     "ensure_tenant($self, tenant_id, budget_microcents)\n--\n\n"},
    {"set_max_reserved_microcents", fastcall(set_max_reserved_microcents), kFast,
     "set_max_reserved_microcents($self, tenant_id, max_microcents)\n--\n\n"},
    {"top_up_tenant", fastcall(top_up_tenant), kFast,
     "top_up_tenant($self, tenant_id, amount_microcents)\n--\n\n"},
    {"try_reserve", fastcall(try_reserve), kFast,
     "try_reserve($self, tenant_id, amount_microcents)\n--\n\n"},
    {"commit", fastcall(commit), kFast, "commit($self, reservation_id, actual_microcents)\n--\n\n"},
    {"release", fastcall(release), kFast, "release($self, reservation_id)\n--\n\n"},
    {"initial_microcents", fastcall(initial_microcents), kFast,
     "initial_microcents($self, tenant_id)\n--\n\n"},
    {"remaining_microcents", fastcall(remaining_microcents), kFast,
     "remaining_microcents($self, tenant_id)\n--\n\n"},
    {"reserved_microcents", fastcall(reserved_microcents), kFast,
     "reserved_microcents($self, tenant_id)\n--\n\n"},
    {"committed_microcents", fastcall(committed_microcents), kFast,
     "committed_microcents($self, tenant_id)\n--\n\n"},
    {"tenant_count", tenant_count, METH_NOARGS, "tenant_count($self)\n--\n\n"},
    {"active_reservations", active_reservations, METH_NOARGS, "active_reservations($self)\n--\n\n"},
    {"verify_conservation", verify_conservation, METH_NOARGS, "verify_conservation($self)\n--\n\n"},
    {"snapshot", snapshot, METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"prove_conservation", prove_conservation, METH_NOARGS, "prove_conservation($self)\n--\n\n"},
    {"certify", certify, METH_NOARGS, "certify($self)\n--\n\n"},
    {"checkpoint", fastcall(budget_checkpoint), kFast, "checkpoint($self, path)\n--\n\n"},
    {"checkpoint_with_wal", fastcall(budget_checkpoint_with_wal), kFast,
     "checkpoint_with_wal($self, path, wal_sequence)\n--\n\n"},
    {"restore", fastcall(budget_restore), kFast, "restore($self, path)\n--\n\n"},
    {"migrate_legacy_snapshot_file", fastcall(budget_migrate_legacy_snapshot_file),
     kFast | METH_STATIC,
     "migrate_legacy_snapshot_file(source, destination, trusted_next_reservation_id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* g_type = nullptr;

}  // namespace

budget::BudgetEngine& budget_engine_of(PyObject* self) { return engine_of(self); }

PyTypeObject* budget_engine_type() {
  ClassSpec spec{"morvatel._core.BudgetEngine",
                 "BudgetEngine()\n--\n\n",
                 static_cast<int>(sizeof(EngineObject)),
                 true,
                 {
                     {Py_tp_new, reinterpret_cast<void*>(new_engine)},
                     {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<EngineObject>)},
                     {Py_tp_repr, reinterpret_cast<void*>(repr)},
                     {Py_tp_methods, kMethods},
                 }};
  return cached_class(g_type, spec);
}

}  // namespace morvatel::py
