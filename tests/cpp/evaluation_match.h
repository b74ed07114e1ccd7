#ifndef MORVATEL_TESTS_EVALUATION_MATCH_H_
#define MORVATEL_TESTS_EVALUATION_MATCH_H_

// Two evaluations of one model agree in every part their verdict gives a
// meaning to: the cost from the budget gate on, the utility's parts once
// the model passed it.

#include <gtest/gtest.h>

#include "kernel/evaluate.h"

namespace morvatel {

inline void expect_same_evaluation(const Evaluation& a, const Evaluation& b, int round) {
  ASSERT_EQ(a.verdict, b.verdict) << "round " << round;
  if (a.verdict >= Verdict::OverBudget) {
    ASSERT_EQ(a.cost, b.cost) << "round " << round;
  }
  if (a.verdict >= Verdict::NonPositiveUtility) {
    ASSERT_TRUE(a.quality_adjusted == b.quality_adjusted && a.utility == b.utility &&
                a.latency_penalty == b.latency_penalty)
        << "round " << round;
  }
}

}  // namespace morvatel

#endif  // MORVATEL_TESTS_EVALUATION_MATCH_H_
