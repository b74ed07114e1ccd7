// Reader throughput on log-like JSON lines against SHA-256 over the same
// bytes. Replaying a log parses every line and hashes its data, so the goal
// is a parse rate at or above the hash rate.
//
//   json_bench [megabytes [kind]]   (default 64 MB, every kind)
//
// kind is one of sha256, walk, replay, record, generic: running one alone
// is what a profiler wants.

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string_view>
#include <time.h>
#include <string>
#include <vector>

#include "crypto.h"
#include "json/record.h"
#include "json/value.h"
#include "kernel/json_forms.h"
#include "text.h"

namespace {

using namespace morvatel;

// Shapes of the log: an entry with the record as raw text, and the record.
struct Entry {
  uint64_t sequence = 0;
  std::string previous_hash;
  std::string entry_hash;
  json::RawView data;
};
const json::RecordSpec& json_record_spec(const Entry*) {
  static const json::FieldSpec kFields[] = {json::field(&Entry::sequence, "sequence"),
                                            json::field(&Entry::previous_hash, "previous_hash"),
                                            json::field(&Entry::entry_hash, "entry_hash"),
                                            json::field(&Entry::data, "data")};
  static const json::RecordSpec kSpec{"WalEntry", kFields};
  return kSpec;
}

struct Audit {
  std::string schema_version, digest_algorithm, proof_version;
  uint64_t policy_epoch = 0, catalog_epoch = 0;
  std::string created_by, policy_digest_hex, input_digest_hex, decision_digest_hex;
  bool replay_valid = false;
};
const json::RecordSpec& json_record_spec(const Audit*) {
  static const json::FieldSpec kFields[] = {
      json::field(&Audit::schema_version, "schema_version"),
      json::field(&Audit::digest_algorithm, "digest_algorithm"),
      json::field(&Audit::proof_version, "proof_version"),
      json::field(&Audit::policy_epoch, "policy_epoch"),
      json::field(&Audit::catalog_epoch, "catalog_epoch"),
      json::field(&Audit::created_by, "created_by"),
      json::field(&Audit::policy_digest_hex, "policy_digest_hex"),
      json::field(&Audit::input_digest_hex, "input_digest_hex"),
      json::field(&Audit::decision_digest_hex, "decision_digest_hex"),
      json::field(&Audit::replay_valid, "replay_valid")};
  static const json::RecordSpec kSpec{"AuditBundle", kFields};
  return kSpec;
}

struct Record {
  Audit audit;
  KernelInput input;
  KernelDecision decision;
  json::Value metadata;
};
const json::RecordSpec& json_record_spec(const Record*) {
  static const json::FieldSpec kFields[] = {json::field(&Record::audit, "audit"),
                                            json::field(&Record::input, "input"),
                                            json::field(&Record::decision, "decision"),
                                            json::field(&Record::metadata, "metadata")};
  static const json::RecordSpec kSpec{"AuditedRecord", kFields};
  return kSpec;
}

std::string hex64(std::mt19937_64& rng) {
  unsigned char b[32];
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return hex_lower(b, sizeof b);
}

std::vector<std::string> make_lines(size_t bytes) {
  std::mt19937_64 rng(1);
  std::vector<std::string> lines;
  size_t total = 0;
  std::string prev = "genesis";
  for (uint64_t seq = 1; total < bytes; ++seq) {
    Record r;
    r.audit = {"1", "sha256", "2", seq, 7, "router", hex64(rng), hex64(rng), hex64(rng), true};
    r.input.request_sequence = seq;
    r.input.requested_model_id = static_cast<uint32_t>(rng() % 100);
    r.input.input_tokens = 1500;
    r.input.output_tokens = 400;
    r.input.business_value_microunits = static_cast<int64_t>(rng() % 1000000) - 500000;
    r.input.budget_limit_microunits = 90000000;
    r.input.risk_bps = 1200;
    r.input.confidence_bps = 9100;
    r.input.minimum_quality_bps = 8000;
    r.input.max_p95_latency_ms = 2500;
    r.input.required_capabilities = rng();
    r.input.allowed_provider_mask = rng();
    r.input.required_region_mask = 3;
    r.decision.request_sequence = seq;
    r.decision.action = KernelAction::Substitute;
    r.decision.reason = KernelReason::AlternativeMaximizesUtility;
    r.decision.estimated_cost_microunits = rng() % 100000;
    r.decision.expected_utility_microunits = -static_cast<int64_t>(rng() % 100000);
    json::Object meta;
    meta.set("tenant", json::Value("tenant-" + std::to_string(rng() % 50)));
    meta.set("trace_id", json::Value(hex64(rng).substr(0, 32)));
    meta.set("tags", json::Value(json::Array{json::Value("prod"), json::Value("eu-west"),
                                             json::Value(uint64_t{3})}));
    meta.set("latency_ms", json::Value(12.5));
    r.metadata = json::Value(std::move(meta));
    std::string data = json::to_string(r);
    std::string hash = hex64(rng);
    std::string line = str_cat("{\"sequence\":", seq, ",\"previous_hash\":\"", prev,
                               "\",\"entry_hash\":\"", hash, "\",\"data\":", data, "}");
    prev = hash;
    total += line.size() + 1;
    lines.push_back(std::move(line));
  }
  return lines;
}

// CPU time of this thread rather than wall time, so that other work on a
// busy machine does not count against whatever is being measured.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename F>
double rate(const std::vector<std::string>& lines, size_t bytes, F&& f) {
  double best = 0;
  for (int rep = 0; rep < 5; ++rep) {
    double t0 = cpu_seconds();
    for (const std::string& l : lines) f(l);
    double s = cpu_seconds() - t0;
    best = std::max(best, static_cast<double>(bytes) / s / 1e6);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mb = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 64;
  std::string_view only = argc > 2 ? argv[2] : "";
  auto wanted = [&](std::string_view kind) { return only.empty() || only == kind; };
  auto lines = make_lines(mb << 20);
  size_t bytes = 0;
  for (const auto& l : lines) bytes += l.size() + 1;
  std::printf("%zu lines, %.1f MB, %zu bytes per line (best of 5 runs, thread CPU time)\n",
              lines.size(), bytes / 1e6, bytes / lines.size());

  size_t sink = 0;
  double sha = 0;
  auto report = [&](const char* what, double mbs) {
    if (sha > 0) {
      std::printf("%-32s %8.1f MB/s  %5.2fx SHA-256\n", what, mbs, mbs / sha);
    } else {
      std::printf("%-32s %8.1f MB/s\n", what, mbs);
    }
  };
  if (wanted("sha256")) {
    sha = rate(lines, bytes, [&](const std::string& l) {
      Sha256 h;
      h.update(l);
      sink += h.finish()[0];
    });
    report("SHA-256 of the line", sha);
  }
  if (wanted("walk")) {
    report("entry, data as raw text (walk)", rate(lines, bytes, [&](const std::string& l) {
             auto e = json::parse<Entry>(l);
             if (!e) std::abort();
             sink += e->data.text.size();
           }));
  }
  if (wanted("replay")) {
    report("entry, then its record (replay)", rate(lines, bytes, [&](const std::string& l) {
             auto e = json::parse<Entry>(l);
             if (!e) std::abort();
             auto r = json::parse<Record>(e->data.text);
             if (!r) std::abort();
             sink += r->input.risk_bps;
           }));
  }
  if (wanted("record")) {
    // Measured over the record texts only, so the rate is per record byte.
    std::vector<std::string> datas;
    size_t data_bytes = 0;
    for (const auto& l : lines) {
      datas.emplace_back(json::parse<Entry>(l)->data.text);
      data_bytes += datas.back().size();
    }
    report("record alone", rate(datas, data_bytes, [&](const std::string& d) {
             auto r = json::parse<Record>(d);
             if (!r) std::abort();
             sink += r->input.risk_bps;
           }));
  }
  if (wanted("generic")) {
    report("whole line as a generic value", rate(lines, bytes, [&](const std::string& l) {
             auto v = json::parse_value(l);
             if (!v) std::abort();
             sink += v->kind() == json::Value::Kind::Object;
           }));
  }
  return sink == 42 ? 1 : 0;
}
