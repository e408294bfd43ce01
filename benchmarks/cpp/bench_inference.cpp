// Times the resampling inference: the multiplier sup-t bands of a Callaway-Sant'Anna-sized
// event study (20,000 units, 38 event times, 999 replicates) and the mean bootstraps.
#include <cstdio>
#include <random>
#include <vector>

#include "bench.hpp"
#include "inference/bootstrap.hpp"

using namespace tessarix;

namespace {

// Influence values shaped like an event study over 20 periods: a unit of cohort g (periods
// 1 .. 19) enters the event times g sees, -g .. 19 - g, and a never-treated unit (a quarter
// of them, or all with `dense`) enters every one of the 38.
std::vector<std::vector<double>> event_influence(std::size_t units, bool dense) {
  constexpr int kPeriods = 20, kEvents = 2 * kPeriods - 2;
  std::mt19937_64 gen(3);
  std::normal_distribution<double> dist;
  std::vector<std::vector<double>> infl(kEvents, std::vector<double>(units, 0.0));
  for (std::size_t u = 0; u < units; ++u) {
    const int g = dense || u % 4 == 0 ? 0 : 1 + static_cast<int>(u % (kPeriods - 1));
    for (int e = 0; e < kEvents; ++e) {
      const int event = e - (kPeriods - 1);  // -19 .. 18
      if (g == 0 || (event >= -g && event <= kPeriods - 1 - g)) infl[e][u] = dist(gen) * 1e-3;
    }
  }
  return infl;
}

void bands(bool dense) {
  const auto infl = event_influence(20000, dense);
  const std::vector<double> att(infl.size(), 0.1), se(infl.size(), 0.01);
  volatile double sink = 0.0;
  bench::report(dense ? "multiplier bands, 20000 x 38 dense, 999 reps" : "multiplier bands, 20000 x 38 event study, 999 reps",
                bench::median_seconds(15, [&] {
                  sink = inference::multiplier_event_bands(infl, att, se, 999, 1, 0.95).crit;
                }));
  (void)sink;
}

void means() {
  std::mt19937_64 gen(4);
  std::normal_distribution<double> dist;
  std::vector<double> x(200);
  for (double& v : x) v = dist(gen);
  volatile double sink = 0.0;
  bench::report("block bootstrap mean, 200 values, 2000 reps", bench::median_seconds(15, [&] {
                  sink = inference::block_bootstrap_mean(x, 4, 2000, 1, 0.95).ci.se;
                }));
  bench::report("stationary bootstrap mean, 200 values, 2000 reps", bench::median_seconds(15, [&] {
                  sink = inference::stationary_bootstrap_mean(x, 4, 2000, 1, 0.95).ci.se;
                }));
  (void)sink;
}

}  // namespace

int main() {
  bands(false);
  bands(true);
  means();
  return 0;
}
