"""Reserve+commit pairs per second through the Python binding, one thread.

Run with the package importable, e.g.
    PYTHONPATH=build/<dir>/py python3 bench/budget_bench.py
"""

import sys
import time

from morvatel._core import BudgetEngine


def run(pairs):
    engine = BudgetEngine()
    engine.ensure_tenant("bench", 1 << 60)
    reserve, commit = engine.try_reserve, engine.commit
    start = time.perf_counter()
    for _ in range(pairs):
        commit(reserve("bench", 1000)["reservation_id"], 900)
    elapsed = time.perf_counter() - start
    assert engine.verify_conservation() == {"status": "balanced"}
    return pairs / elapsed


def main():
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    best = max(run(pairs) for _ in range(3))
    print(f"reserve+commit pairs per second from Python (1 thread): {best:,.0f}")


if __name__ == "__main__":
    main()
