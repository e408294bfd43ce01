// Error values of the numerical core and the one way a broken precondition aborts a call.
// Fallible numerical operations return std::expected<T, LinalgError>; programming errors
// (mis-sized operands, out-of-range indices) throw InvariantError with a fixed message.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessarix {

// A precondition that the callers guarantee was broken; the bindings turn it into
// tessarix.InternalError. Never used for conditions that user input can reach.
class InvariantError : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

// Throws InvariantError carrying `message`.
[[noreturn]] void invariant_failure(std::string message);

// Equality guard: fails with "{message} (left: {left}, right: {right})" when left != right.
inline void require_eq(std::size_t left, std::size_t right, std::string_view message) {
  if (left != right) [[unlikely]] {
    invariant_failure(std::string(message) + " (left: " + std::to_string(left) +
                      ", right: " + std::to_string(right) + ")");
  }
}

namespace linalg {

class LinalgError {
public:
  enum class Kind { NotSquare, DimMismatch, NotPositiveDefinite, DidNotConverge, Empty };

  static constexpr LinalgError not_square(std::size_t rows, std::size_t cols) {
    return {Kind::NotSquare, rows, cols};
  }
  static constexpr LinalgError dim_mismatch(std::size_t expected, std::size_t got) {
    return {Kind::DimMismatch, expected, got};
  }
  static constexpr LinalgError not_positive_definite(std::size_t pivot) {
    return {Kind::NotPositiveDefinite, pivot, 0};
  }
  static constexpr LinalgError did_not_converge(std::size_t iters) {
    return {Kind::DidNotConverge, iters, 0};
  }
  static constexpr LinalgError empty() { return {Kind::Empty, 0, 0}; }

  constexpr Kind kind() const { return kind_; }
  // Payload by field name; each is meaningful only for its own variant.
  constexpr std::size_t rows() const { return a_; }
  constexpr std::size_t cols() const { return b_; }
  constexpr std::size_t expected() const { return a_; }
  constexpr std::size_t got() const { return b_; }
  constexpr std::size_t pivot() const { return a_; }
  constexpr std::size_t iters() const { return a_; }

  // Structural text, e.g. "NotSquare { rows: 3, cols: 2 }" or "Empty"; the pretty form puts
  // one field per line, indented by four spaces, each line ending in a comma.
  std::string debug(bool pretty = false) const;

  friend constexpr bool operator==(const LinalgError&, const LinalgError&) = default;

private:
  constexpr LinalgError(Kind kind, std::size_t a, std::size_t b) : kind_(kind), a_(a), b_(b) {}
  Kind kind_;
  std::size_t a_;
  std::size_t b_;
};

}  // namespace linalg
}  // namespace tessarix
