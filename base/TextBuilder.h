#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace fp {

// Builds a line of text in a fixed buffer without allocating; what does not fit is cut off, so
// nothing is ever written past the buffer. Cheaper than snprintf for the per-packet trace.
template <std::size_t Capacity>
class TextBuilder {
 public:
  TextBuilder& Append(std::string_view text) {
    const std::size_t n = text.size() < Room() ? text.size() : Room();
    std::memcpy(_buf + _length, text.data(), n);
    _length += n;
    return *this;
  }
  TextBuilder& AppendDecimal(std::int64_t value) {
    char digits[24];
    std::size_t n = 0;
    const bool negative = value < 0;
    std::uint64_t v =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    if (negative) digits[n++] = '-';
    return AppendReversed(digits, n);
  }
  // Upper-case hexadecimal without leading zeros, as "%X" writes it.
  TextBuilder& AppendHex(std::uint64_t value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    char digits[16];
    std::size_t n = 0;
    do {
      digits[n++] = kHex[value & 0xF];
      value >>= 4;
    } while (value != 0);
    return AppendReversed(digits, n);
  }

  void Clear() { _length = 0; }
  bool Empty() const { return _length == 0; }
  const char* Data() const { return _buf; }
  std::size_t Length() const { return _length; }
  std::string_view View() const { return {_buf, _length}; }

 private:
  std::size_t Room() const { return Capacity - _length; }
  TextBuilder& AppendReversed(const char* digits, std::size_t n) {
    while (n > 0 && Room() > 0) _buf[_length++] = digits[--n];
    return *this;
  }

  char _buf[Capacity];
  std::size_t _length = 0;
};

}  // namespace fp
