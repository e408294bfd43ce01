// Times one fit of each synthetic-control-family estimator on a small (40 x 30) and a large
// (200 x 100) panel with two treated units, and the staggered-adoption estimators on a
// 20,000-unit x 20-period panel with four cohorts and never-treated units.
#include <cstdio>
#include <string>

#include "bench.hpp"
#include "estimators/did/bacon.hpp"
#include "estimators/did/callaway.hpp"
#include "estimators/did/sunab.hpp"
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

// Cohorts 4, 8, 12, 16 and never treated, one fifth of the units each.
Panel make_staggered(std::size_t n, std::size_t t) {
  linalg::Mat y = bench::random_mat(n, t, 7);
  std::vector<Panel::TreatStart> starts(n);
  for (std::size_t u = 0; u < n; ++u) {
    if (u % 5 != 4) starts[u] = 4 * (u % 5 + 1);
  }
  return Panel(std::move(y), std::move(starts));
}

void run_staggered(std::size_t n, std::size_t t, int reps) {
  const Panel p = make_staggered(n, t);
  volatile double sink = 0.0;
  const std::string tag = " (" + std::to_string(n) + " x " + std::to_string(t) + ")";
  bench::report(("Callaway-Sant'Anna, never-treated" + tag).c_str(), bench::median_seconds(reps, [&] {
    sink = did::callaway::fit_with_anticipation(p, {did::callaway::ControlGroup::NeverTreated}, false).att;
  }));
  bench::report(("Callaway-Sant'Anna, not-yet-treated" + tag).c_str(), bench::median_seconds(reps, [&] {
    sink = did::callaway::fit_with_anticipation(p, {did::callaway::ControlGroup::NotYetTreated}, false).att;
  }));
  bench::report(("Sun-Abraham" + tag).c_str(),
                bench::median_seconds(reps, [&] { sink = did::sunab::fit(p).att; }));
  bench::report(("Goodman-Bacon" + tag).c_str(),
                bench::median_seconds(reps, [&] { sink = did::bacon::decompose(p).twfe; }));
  (void)sink;
}

}  // namespace

// With an argument, only the family it names: "sc" or "did".
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "sc") {
    run(40, 30, 50);
    run(200, 100, 5);
  }
  if (only.empty() || only == "did") run_staggered(20000, 20, 15);
  return 0;
}
