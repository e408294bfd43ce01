// Times one fit of each synthetic-control-family estimator on a small (40 x 30) and a large
// (200 x 100) panel with two treated units.
#include <cstdio>
#include <string>

#include "bench.hpp"
#include "estimators/sc/augmented.hpp"
#include "estimators/sc/demeaned.hpp"
#include "estimators/sc/robust.hpp"
#include "estimators/sc/sdid.hpp"
#include "estimators/sc/synthetic.hpp"

using namespace tessarix;

namespace {

// Random walks with unit levels; units 0 and 1 treated from 70 % of the periods.
Panel make_panel(std::size_t n, std::size_t t) {
  linalg::Mat y = bench::random_mat(n, t, 5);
  for (std::size_t u = 0; u < n; ++u) {
    double level = 10.0 + double(u % 11);
    for (std::size_t k = 0; k < t; ++k) {
      level += 0.2 * y(u, k);
      y(u, k) = level;
    }
  }
  return Panel::block(std::move(y), std::vector<std::size_t>{0, 1}, t * 7 / 10);
}

void run(std::size_t n, std::size_t t, int reps) {
  const Panel p = make_panel(n, t);
  const std::size_t t0 = t * 7 / 10;
  volatile double sink = 0.0;
  const std::string tag = " (" + std::to_string(n) + " x " + std::to_string(t) + ")";
  bench::report(("synthetic control" + tag).c_str(),
                bench::median_seconds(reps, [&] { sink = sc::synthetic::fit_at(p, t0, {}).att; }));
  bench::report(("augmented SC" + tag).c_str(),
                bench::median_seconds(reps, [&] { sink = sc::augmented::fit_at(p, t0, {}).att; }));
  bench::report(("demeaned SC" + tag).c_str(),
                bench::median_seconds(reps, [&] { sink = sc::demeaned::fit_at(p, t0, {}).att; }));
  bench::report(("robust SC" + tag).c_str(),
                bench::median_seconds(reps, [&] { sink = sc::robust::fit_at(p, t0, {}).att; }));
  bench::report(("synthetic DiD" + tag).c_str(),
                bench::median_seconds(reps, [&] { sink = sc::sdid::fit_at(p, t0, {}).att; }));
  (void)sink;
}

}  // namespace

int main() {
  run(40, 30, 50);
  run(200, 100, 5);
  return 0;
}
