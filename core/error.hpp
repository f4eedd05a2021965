// The core's one error type, and the exception for broken internal contracts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <stdexcept>
#include <string>
#include <variant>

namespace tarvex {

enum class ErrorKind : std::uint32_t {
  EmptyPoints = 0,
  ZeroDimension = 1,
  RaggedBuffer = 2,
  NonFiniteCoordinate = 3,
  UnnormalizableRow = 4,
  WeightCountMismatch = 5,
  InvalidWeight = 6,
  CoverageCountMismatch = 7,
  CoverageItemOutOfUniverse = 8,
  ZeroK = 9,
  InvalidEpsilon = 10,
  InvalidLambda = 11,
};

namespace errors {
struct EmptyPoints {};
struct ZeroDimension {};
struct RaggedBuffer { std::size_t len; std::size_t dim; };
struct NonFiniteCoordinate { std::size_t row; std::size_t col; };
struct UnnormalizableRow { std::size_t row; };
struct WeightCountMismatch { std::size_t expected; std::size_t got; };
struct InvalidWeight { double value; std::size_t index; };
struct CoverageCountMismatch { std::size_t expected; std::size_t got; };
struct CoverageItemOutOfUniverse { std::uint32_t item; std::size_t row; std::size_t universe; };
struct ZeroK {};
struct InvalidEpsilon { float eps; };
struct InvalidLambda { double lam; };
}  // namespace errors

// A plain value: the variant index is the kind's tag.
class TarvexError {
 public:
  using Payload = std::variant<errors::EmptyPoints, errors::ZeroDimension, errors::RaggedBuffer,
                               errors::NonFiniteCoordinate, errors::UnnormalizableRow,
                               errors::WeightCountMismatch, errors::InvalidWeight,
                               errors::CoverageCountMismatch, errors::CoverageItemOutOfUniverse,
                               errors::ZeroK, errors::InvalidEpsilon, errors::InvalidLambda>;

  template <class Kind>
    requires std::is_constructible_v<Payload, Kind>
  TarvexError(Kind payload) : payload_(payload) {}  // NOLINT: implicit on purpose

  ErrorKind kind() const noexcept { return static_cast<ErrorKind>(payload_.index()); }
  const Payload& payload() const noexcept { return payload_; }
  template <class Kind>
  const Kind* get_if() const noexcept { return std::get_if<Kind>(&payload_); }

  std::string to_string() const;

 private:
  Payload payload_;
};

template <class T>
using Result = std::expected<T, TarvexError>;
using Status = std::expected<void, TarvexError>;

// A broken precondition that validation should have ruled out. It is thrown,
// never returned, and the Python boundary contains it.
class ContractViolation : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A request for memory refused before any work, because it cannot fit; the
// text says what was needed and what is available, and the Python boundary
// raises it as MemoryError.
class MemoryShortfall : public std::bad_alloc {
 public:
  explicit MemoryShortfall(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Shortest round-trip decimal of a double, positional, never an exponent.
std::string render_f64(double value);
// Shortest round-trip decimal of a float in scientific form ("5e-1").
std::string render_f32_scientific(float value);

}  // namespace tarvex
