// Reading a log during replay against SHA-256 over the same bytes: the
// chain walk; the replay's reading (walk and record decoding, no kernel
// re-run: the replay under a policy that no entry names); recovery
// planning's reading (walk and `data` as a generic value); and the whole
// replay. In MB/s of log bytes and as ratios to the hash. The log is
// written by the real writer.
//
//   wal_replay_bench [entries [kind]]   (default 20000 entries, every kind)
//
// kind is one of sha256, walk, read, recovery, replay: running one alone
// is what a profiler wants.

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "crypto.h"
#include "fs.h"
#include "kernel/prescribe.h"
#include "text.h"
#include "wal/replay.h"
#include "wal/writer.h"

namespace {

using namespace morvatel;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best of `runs` in MB/s of `bytes`.
template <typename F>
double rate(size_t bytes, int runs, F&& run) {
  double best = 0;
  for (int i = 0; i < runs; ++i) {
    double t0 = now();
    run();
    double s = now() - t0;
    best = std::max(best, static_cast<double>(bytes) / s / 1e6);
  }
  return best;
}

PolicySnapshot make_snapshot(uint64_t policy_epoch = 3) {
  std::vector<KernelModel> models;
  for (uint32_t i = 0; i < 8; ++i) {
    models.push_back(KernelModel{i + 1, static_cast<uint16_t>(i % 64),
                                 static_cast<uint16_t>(5000 + (i * 37) % 5000), 9000, 1,
                                 50 + i % 400, 0xFF, 1, 1000 + 13 * i, 2000 + 7 * i});
  }
  return *try_new_trusted(PolicyParams{policy_epoch, 5, 9000, 1000, 10000, 1}, models);
}

// Metadata as a service would attach it: tenant, trace, a few tags and
// figures.
json::Value make_metadata(uint64_t i) {
  json::Object meta;
  meta.set("tenant", json::Value(str_cat("tenant-", i % 97)));
  meta.set("trace_id", json::Value(str_cat("4bf92f3577b34da6a3ce929d0e0e", 1000 + i % 9000)));
  json::Array tags;
  tags.emplace_back(json::Value(std::string("batch")));
  tags.emplace_back(json::Value(str_cat("region-", i % 4)));
  meta.set("tags", json::Value(std::move(tags)));
  meta.set("queue_ms", json::Value(static_cast<uint64_t>(i * 7 % 1000)));
  meta.set("score", json::Value(0.25 + static_cast<double>(i % 100) / 128));
  return json::Value(std::move(meta));
}

}  // namespace

int main(int argc, char** argv) {
  size_t entries = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
  std::string_view only = argc > 2 ? argv[2] : "";

  char tmpl[] = "/tmp/morvatel-replay-bench-XXXXXX";
  std::string dir = ::mkdtemp(tmpl);
  ::setenv("MORVATEL_WAL_LOCK_DIR", join_path(dir, "locks").c_str(), 1);
  std::string path = join_path(dir, "log");

  PolicySnapshot snapshot = make_snapshot();
  {
    auto writer = wal::WalWriter::open(path, path, std::nullopt).value();
    for (uint64_t i = 0; i < entries; ++i) {
      KernelInput input{i + 1,
                        static_cast<uint32_t>(i % 8 + 1),
                        static_cast<uint32_t>(500 + i % 1000),
                        static_cast<uint32_t>(200 + i % 700),
                        5000000,
                        1000000000,
                        static_cast<uint16_t>(i % 5000),
                        9000,
                        static_cast<uint16_t>((i * 7) % 6000),
                        0,
                        3,
                        ~0ULL,
                        0};
      KernelDecision decision = prescribe_inner(snapshot, input).decision;
      if (!writer.append_verified(snapshot, input, decision, make_metadata(i))) return 1;
    }
    if (!wal::WalWriter::close(std::move(writer), true)) return 1;
  }
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::printf("%zu entries, %.1f MB, %zu bytes per line (best of runs, thread CPU time)\n", entries,
              static_cast<double>(bytes.size()) / 1e6, bytes.size() / entries);

  auto want = [&](std::string_view kind) { return only.empty() || only == kind; };
  // One kind alone runs longer, so that a profile is not all log writing.
  const int more = only.empty() ? 1 : 10;
  double sha = 0;
  if (want("sha256")) {
    sha = rate(bytes.size(), 15 * more, [&] {
      Sha256 h;
      h.update(bytes);
      (void)h.finish();
    });
    std::printf("%-28s %8.1f MB/s\n", "sha256", sha);
  }
  // Every reading hashes each record once, so it can at best reach half the
  // hash's rate; the second figure is the rate of everything else (reading
  // the file, parsing, checking), the hash's time taken out.
  auto report = [&](const char* name, double mbs) {
    if (sha > 0) {
      const double rest = mbs < sha ? 1 / (1 / mbs - 1 / sha) : 0;
      std::printf("%-28s %8.1f MB/s  %.2fx sha256  (without the hash: %.2fx)\n", name, mbs,
                  mbs / sha, rest / sha);
    } else {
      std::printf("%-28s %8.1f MB/s\n", name, mbs);
    }
  };
  if (want("walk")) {
    report("chain walk", rate(bytes.size(), 15 * more, [&] {
             if (!wal::validate_chain_inner(path, std::nullopt)) std::abort();
           }));
  }
  if (want("read")) {
    // Replayed under another policy epoch, the first entry fails to resolve
    // its policy: what is timed is the reading, and no kernel re-run.
    PolicySnapshot other = make_snapshot(4);
    report("replay reading", rate(bytes.size(), 15 * more, [&] {
             auto v = wal::replay_verify(path, other, std::nullopt, wal::kDefaultMaxReplayEntries,
                                         wal::kDefaultMaxReplayBytes);
             if (v || v.error().kind() != wal::WalError::Kind::AuditFailed) std::abort();
           }));
  }
  if (want("recovery")) {
    // Recovery planning's reading: every entry must also read with `data`
    // as a generic value. Once by reading each line twice, once as it is.
    report("recovery reading, two-pass", rate(bytes.size(), 15 * more, [&] {
             auto head = wal::validate_chain_inner(
                 path, std::nullopt,
                 [](std::string_view line,
                    const wal::RawWalEntry&) -> std::expected<void, wal::WalError> {
                   if (!wal::parse_value_entry(line)) std::abort();
                   return {};
                 });
             if (!head) std::abort();
           }));
    report("recovery reading", rate(bytes.size(), 15 * more, [&] {
             if (!wal::validate_value_chain(path, std::nullopt)) std::abort();
           }));
  }
  if (want("replay")) {
    report("replay_verify", rate(bytes.size(), 7 * more, [&] {
             auto v = wal::replay_verify(path, snapshot, std::nullopt,
                                         wal::kDefaultMaxReplayEntries,
                                         wal::kDefaultMaxReplayBytes);
             if (!v || v->size() != entries) std::abort();
           }));
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
