// Times the numerical core's hot spots: simplex weights for a 100-donor, 50-period problem
// and the Jacobi SVD of a 200 x 50 matrix.
#include "bench.hpp"
#include "linalg/factor/randomized.hpp"
#include "linalg/factor/svd.hpp"
#include "linalg/opt/simplex.hpp"

using namespace tessarix;

int main() {
  const linalg::Mat x0 = bench::random_mat(50, 100, 1);
  const linalg::Mat x1m = bench::random_mat(50, 1, 2);
  std::vector<double> x1(x1m.data().begin(), x1m.data().end());
  for (std::size_t t = 0; t < 50; ++t) x1[t] = 0.5 * x0(t, 3) + 0.3 * x0(t, 10) + 0.2 * x0(t, 40) + 0.1 * x1[t];

  volatile double sink = 0.0;
  bench::report("sc_weights, 100 donors x 50 pre-periods",
                bench::median_seconds(50, [&] { sink = linalg::sc_weights(x0, x1, 0.0).weights[3]; }));
  bench::report("sc_weights_bounded [0.005, 0.2], 100 donors x 50 periods",
                bench::median_seconds(50, [&] {
                  sink = linalg::sc_weights_bounded(x0, x1, 0.0, 0.005, 0.2).weights[3];
                }));
  const linalg::Mat a = bench::random_mat(200, 50, 3);
  bench::report("Jacobi SVD, 200 x 50",
                bench::median_seconds(20, [&] { sink = linalg::Svd::make_tol(a, 60, 1e-15).s[0]; }));
  bench::report("randomized SVD rank 5, 200 x 50",
                bench::median_seconds(50, [&] { sink = linalg::randomized_svd(a, 5, 6, 1, 7).s[0]; }));
  (void)sink;
  return 0;
}
