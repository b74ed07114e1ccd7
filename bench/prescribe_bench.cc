// Kernel-only timing of prescribe_batch, without the interpreter, to tell the
// kernel's share of the Python figures from the binding's: a regular
// catalogue, and an irregular one on which every gate refuses about 30 % of
// the models, a different 30 % for each request.

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "kernel/prescribe.h"

using namespace morvatel;

namespace {

struct Workload {
  const char* name;
  PolicySnapshot snapshot;
  std::vector<KernelInput> inputs;
};

Workload regular(uint32_t n) {
  std::vector<KernelModel> models;
  for (uint32_t i = 0; i < n; ++i) {
    models.push_back(KernelModel{i + 1, static_cast<uint16_t>(i % 64),
                                 static_cast<uint16_t>(5000 + (i * 37) % 5000), 9000, 1,
                                 50 + i % 400, 0xFF, 1, 1000 + 13 * i, 2000 + 7 * i});
  }
  std::vector<KernelInput> inputs;
  for (uint64_t i = 0; i < 10000; ++i) {
    inputs.push_back(KernelInput{i, static_cast<uint32_t>(i % 300 + 1),
                                 static_cast<uint32_t>(500 + i % 1000),
                                 static_cast<uint32_t>(200 + i % 700), 5000000, 1000000000,
                                 static_cast<uint16_t>(i % 5000), 9000,
                                 static_cast<uint16_t>((i * 7) % 6000), 0, 3, ~0ULL, 0});
  }
  return {"regular", *try_new_trusted(PolicyParams{1, 1, 9000, 1000, 10000, 1}, models),
          std::move(inputs)};
}

Workload irregular(uint32_t n) {
  std::mt19937_64 rng(12);
  auto below = [&](uint64_t k) { return rng() % k; };
  auto bits70 = [&] {
    uint64_t v = 0;
    for (int b = 0; b < 64; ++b) v |= uint64_t{below(10) < 7} << b;
    return v;
  };
  std::vector<KernelModel> models;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t enabled = below(10) < 3 ? 0 : 1;
    models.push_back(KernelModel{i + 1, static_cast<uint16_t>(below(64)),
                                 static_cast<uint16_t>(below(10001)),
                                 static_cast<uint16_t>(below(10001)), enabled,
                                 static_cast<uint32_t>(1 + below(1000)), bits70(), bits70(),
                                 below(10000000), below(1000000)});
  }
  std::vector<KernelInput> inputs;
  for (uint64_t i = 0; i < 10000; ++i) {
    inputs.push_back(KernelInput{i, static_cast<uint32_t>(1 + below(n)), 1000, 1000, 5000000, 11000,
                                 static_cast<uint16_t>(below(6000)), 9000,
                                 static_cast<uint16_t>(below(6000)),
                                 static_cast<uint32_t>(400 + below(601)), uint64_t{1} << below(64),
                                 bits70(), uint64_t{1} << below(64)});
  }
  return {"irregular", *try_new_trusted(PolicyParams{1, 1, 9000, 1000, 10000, 1}, models),
          std::move(inputs)};
}

void run(const Workload& w) {
  const size_t n = w.snapshot.models().size();
  std::vector<KernelDecision> out(w.inputs.size());
  double best = 1e30;
  for (int rep = 0; rep < 60; ++rep) {
    auto t0 = std::chrono::steady_clock::now();
    prescribe_batch(w.snapshot, w.inputs, out);
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
  }
  std::printf("%s, %zu models: %.2f ns/request, %.2f ns/pair\n", w.name, n, best / w.inputs.size(),
              best / w.inputs.size() / n);
  // The same batch split over two threads sharing the snapshot.
  double two = 1e30;
  const size_t half = w.inputs.size() / 2;
  std::span<const KernelInput> all(w.inputs);
  std::span<KernelDecision> outs(out);
  for (int rep = 0; rep < 20; ++rep) {
    auto t0 = std::chrono::steady_clock::now();
    std::thread a([&] { prescribe_batch(w.snapshot, all.first(half), outs.first(half)); });
    prescribe_batch(w.snapshot, all.subspan(half), outs.subspan(half));
    a.join();
    auto t1 = std::chrono::steady_clock::now();
    two = std::min(two, std::chrono::duration<double, std::nano>(t1 - t0).count());
  }
  std::printf("%s, %zu models: two threads %.2fx one\n", w.name, n, best / two);
}

}  // namespace

int main() {
  run(regular(8));
  run(regular(256));
  run(irregular(256));
}
