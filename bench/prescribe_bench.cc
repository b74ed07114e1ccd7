// Kernel-only timing of prescribe_inner, without the interpreter, to tell the
// kernel's share of the Python figures from the binding's.

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "kernel/prescribe.h"

using namespace morvatel;

int main() {
  for (size_t n : {8u, 256u}) {
    std::vector<KernelModel> models;
    for (uint32_t i = 0; i < n; ++i) {
      models.push_back(KernelModel{i + 1, static_cast<uint16_t>(i % 64),
                                   static_cast<uint16_t>(5000 + (i * 37) % 5000), 9000, 1,
                                   50 + i % 400, 0xFF, 1, 1000 + 13 * i, 2000 + 7 * i});
    }
    PolicySnapshot s = *try_new_trusted(PolicyParams{1, 1, 9000, 1000, 10000, 1}, models);
    std::vector<KernelInput> inputs;
    for (uint64_t i = 0; i < 10000; ++i) {
      inputs.push_back(KernelInput{i, static_cast<uint32_t>(i % 300 + 1),
                                   static_cast<uint32_t>(500 + i % 1000),
                                   static_cast<uint32_t>(200 + i % 700), 5000000, 1000000000,
                                   static_cast<uint16_t>(i % 5000), 9000,
                                   static_cast<uint16_t>((i * 7) % 6000), 0, 3, ~0ULL, 0});
    }
    std::vector<KernelDecision> out(inputs.size());
    double best = 1e30;
    for (int rep = 0; rep < 60; ++rep) {
      auto t0 = std::chrono::steady_clock::now();
      prescribe_batch(s, inputs, out);
      auto t1 = std::chrono::steady_clock::now();
      best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    std::printf("%zu models: %.2f ns/request, %.2f ns/pair\n", n, best / inputs.size(),
                best / inputs.size() / n);
    // The same batch split over two threads sharing the snapshot.
    double two = 1e30;
    const size_t half = inputs.size() / 2;
    std::span<const KernelInput> all(inputs);
    std::span<KernelDecision> outs(out);
    for (int rep = 0; rep < 20; ++rep) {
      auto t0 = std::chrono::steady_clock::now();
      std::thread a([&] { prescribe_batch(s, all.first(half), outs.first(half)); });
      prescribe_batch(s, all.subspan(half), outs.subspan(half));
      a.join();
      auto t1 = std::chrono::steady_clock::now();
      two = std::min(two, std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    std::printf("%zu models: two threads %.2fx one\n", n, best / two);
  }
}
