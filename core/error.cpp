#include "error.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace tarvex {
namespace {

template <class F>
bool render_special(F value, std::string& out) {
  if (std::isnan(value)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out = value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

struct Digits {
  bool negative;
  std::string digits;  // significant digits, no leading zeros (except "0")
  int exponent;        // value = 0.digits? no: d.ddd * 10^exponent
};

// Splits std::to_chars' shortest scientific form into sign, digits, exponent.
template <class F>
Digits shortest_digits(F value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
  Digits out{false, {}, 0};
  if (!text.empty() && text.front() == '-') {
    out.negative = true;
    text.remove_prefix(1);
  }
  const auto e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits.push_back(c);
  }
  out.exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  return out;
}

}  // namespace

std::string render_f64(double value) {
  std::string out;
  if (render_special(value, out)) return out;
  const Digits d = shortest_digits(value);
  if (d.negative) out.push_back('-');
  const int point = d.exponent + 1;  // digits before the decimal point
  const int count = static_cast<int>(d.digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += d.digits;
  } else if (point >= count) {
    out += d.digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out += d.digits.substr(0, static_cast<std::size_t>(point));
    out.push_back('.');
    out += d.digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

std::string render_f32_scientific(float value) {
  std::string out;
  if (render_special(value, out)) return out;
  const Digits d = shortest_digits(value);
  if (d.negative) out.push_back('-');
  out.push_back(d.digits.front());
  if (d.digits.size() > 1) {
    out.push_back('.');
    out += d.digits.substr(1);
  }
  out.push_back('e');
  out += std::to_string(d.exponent);
  return out;
}

std::string TarvexError::to_string() const {
  using std::to_string;
  struct Render {
    std::string operator()(const errors::EmptyPoints&) const { return "the point matrix is empty"; }
    std::string operator()(const errors::ZeroDimension&) const {
      return "the dimensionality must be greater than zero";
    }
    std::string operator()(const errors::RaggedBuffer& e) const {
      return "the data buffer holds " + to_string(e.len) +
             " values, which is not a multiple of the dimensionality " + to_string(e.dim);
    }
    std::string operator()(const errors::NonFiniteCoordinate& e) const {
      return "the coordinate at row " + to_string(e.row) + ", column " + to_string(e.col) +
             " is NaN or infinite";
    }
    std::string operator()(const errors::UnnormalizableRow& e) const {
      return "row " + to_string(e.row) +
             " has a zero or un-normalizable L2 norm and cannot be scaled to unit length for "
             "cosine distance";
    }
    std::string operator()(const errors::WeightCountMismatch& e) const {
      return "expected " + to_string(e.expected) + " weights, one per point, but got " +
             to_string(e.got);
    }
    std::string operator()(const errors::InvalidWeight& e) const {
      return "the weight " + render_f64(e.value) + " at index " + to_string(e.index) +
             " must be finite and non-negative";
    }
    std::string operator()(const errors::CoverageCountMismatch& e) const {
      return "expected " + to_string(e.expected) + " coverage lists, one per point, but got " +
             to_string(e.got);
    }
    std::string operator()(const errors::CoverageItemOutOfUniverse& e) const {
      return "coverage item " + to_string(e.item) + " at row " + to_string(e.row) +
             " is outside the universe of " + to_string(e.universe) + " items";
    }
    std::string operator()(const errors::ZeroK&) const { return "k must be greater than zero"; }
    std::string operator()(const errors::InvalidEpsilon& e) const {
      return "epsilon " + render_f32_scientific(e.eps) +
             " must be in the range f32::EPSILON (1.1920929e-7) <= eps <= 1";
    }
    std::string operator()(const errors::InvalidLambda& e) const {
      return "lambda " + render_f64(e.lam) + " must be finite and non-negative";
    }
  };
  return std::visit(Render{}, payload_);
}

}  // namespace tarvex
