"""Speed of the prescription entry points.

Run against a Release build:
    BUILD_TYPE=Release scripts/devbuild.sh build/rel
    PYTHONPATH=build/rel/py python3 bench/prescribe_bench.py

Prints ns per prescribe call and its ratio to a trivial method call,
ns per (request, model) pair in a batch, and the two-thread speed-up.
"""

import threading
import time

from morvatel._core import ALL_PROVIDERS, KernelInput, KernelModel, PolicySnapshot


def catalogue(n):
    return [KernelModel(i + 1, i % 64, 5000 + (i * 37) % 5000, 9000, 1, 50 + i % 400, 0xFF,
                        1, 1000 + 13 * i, 2000 + 7 * i) for i in range(n)]


def requests(n):
    return [KernelInput(i, (i % 300) + 1, 500 + i % 1000, 200 + i % 700, 5_000_000, 10**9,
                        i % 5000, 9000, (i * 7) % 6000, 0, 0x3, ALL_PROVIDERS, 0)
            for i in range(n)]


def best_of(fn, repeat=7):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        fn()
        best = min(best, time.perf_counter_ns() - t0)
    return best


def main():
    small = PolicySnapshot(1, 1, 9000, 1000, 10000, 1, catalogue(8))
    req = requests(1)[0]
    calls = 200_000
    prescribe = small.prescribe
    model_count = small.model_count

    def run_prescribe():
        for _ in range(calls):
            prescribe(req)

    def run_trivial():
        for _ in range(calls):
            model_count()

    def run_empty():
        for _ in range(calls):
            pass

    loop = best_of(run_empty)
    p_ns = (best_of(run_prescribe) - loop) / calls
    t_ns = (best_of(run_trivial) - loop) / calls
    print(f"prescribe, 8 models:      {p_ns:7.1f} ns/call")
    print(f"model_count():            {t_ns:7.1f} ns/call")
    print(f"ratio:                    {p_ns / t_ns:7.2f} trivial calls (target <= 4)")

    big = PolicySnapshot(1, 1, 9000, 1000, 10000, 1, catalogue(256))
    inputs = requests(10_000)
    batch_ns = best_of(lambda: big.prescribe_batch(inputs), repeat=5)
    pairs = len(inputs) * big.model_count()
    print(f"prescribe_batch, 10000 x 256: {batch_ns / pairs:5.2f} ns/pair (target <= 5)")

    halves = [inputs[: len(inputs) // 2], inputs[len(inputs) // 2:]]

    def two_threads():
        threads = [threading.Thread(target=big.prescribe_batch, args=(h,)) for h in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    one_ns = best_of(lambda: big.prescribe_batch(inputs), repeat=5)
    two_ns = best_of(two_threads, repeat=5)
    print(f"two threads vs one:       {one_ns / two_ns:7.2f}x (target >= 1.8)")


if __name__ == "__main__":
    main()
