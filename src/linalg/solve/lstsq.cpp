#include "linalg/solve/lstsq.hpp"

#include "linalg/factor/cholesky.hpp"
#include "linalg/factor/qr.hpp"
#include "linalg/ops/matmul.hpp"

namespace tessarix::linalg {

std::expected<std::vector<double>, LinalgError> ols(const Mat& x, std::span<const double> y) {
  auto qr = Qr::make(x);
  if (!qr) return std::unexpected(qr.error());
  return qr->solve_lstsq(y);
}

std::expected<std::vector<double>, LinalgError> ridge(const Mat& x, std::span<const double> y,
                                                      double lambda) {
  Mat g = syrk_ata(x);
  std::vector<double> c(x.cols());
  gemv_t(x, y, c, 1.0, 0.0);
  auto chol = Cholesky::make_ridge(std::move(g), lambda);
  if (!chol) return std::unexpected(chol.error());
  return chol->solve_vec(c);
}

}  // namespace tessarix::linalg
