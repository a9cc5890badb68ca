#pragma once
// Text formatting with the format rules the whole system's SQL texts and log lines use:
//   %[index:][-][width][.precision]type   with types d u x e f g n s and %% for a percent sign.
// %d takes an integer (precision = minimum digits, zero padded: %.2d of 7 is "07"),
// %f a floating-point value (precision defaults to 2: %f of 12345 is "12345.00"),
// %s a text (precision = maximum characters). Widths pad with blanks, '-' left-aligns.
// Arguments are checked at run time: a missing argument or one of the wrong kind throws
// EFormatError with a message that names the offending specifier. Never undefined behaviour.
// Thread-safe: no shared state.
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarn {

class EFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class FormatArg {
 public:
  enum class Kind { Integer, Float, Text };

  template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, char> && !std::is_same_v<T, bool>)
  FormatArg(T v) : kind_(Kind::Integer), int_(static_cast<long long>(v)) {}
  FormatArg(bool v) : kind_(Kind::Integer), int_(v ? 1 : 0) {}
  FormatArg(char c) : kind_(Kind::Text), text_(1, c) {}
  FormatArg(double v) : kind_(Kind::Float), float_(v) {}
  FormatArg(float v) : kind_(Kind::Float), float_(v) {}
  FormatArg(const char* s) : kind_(Kind::Text), text_(s ? s : "") {}
  FormatArg(std::string_view s) : kind_(Kind::Text), text_(s) {}
  FormatArg(const std::string& s) : kind_(Kind::Text), text_(s) {}

  Kind kind() const { return kind_; }
  long long integer() const { return int_; }
  double floating() const { return float_; }
  const std::string& text() const { return text_; }

 private:
  Kind kind_;
  long long int_ = 0;
  double float_ = 0;
  std::string text_;
};

std::string FormatV(std::string_view format, std::span<const FormatArg> args);

template <class... A>
std::string Format(std::string_view format, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    return FormatV(format, {});
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return FormatV(format, std::span<const FormatArg>(list, sizeof...(A)));
  }
}

}  // namespace tarn
