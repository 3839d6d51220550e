// frameClock.cpp — see frameClock.h.
#include <cstdint>
#include "video/frameClock.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace {

using Wide = __int128;

// ⌊a ÷ b⌋ for a ≥ 0, b > 0.
int64_t floorDiv(Wide a, Wide b) {
  return static_cast<int64_t>(a / b);
}

int64_t ceilDiv(Wide a, Wide b) {
  return static_cast<int64_t>((a + b - 1) / b);
}

bool parseWhole(const std::string& text, int64_t& out, int maxDigits) {
  if (text.empty() || static_cast<int>(text.size()) > maxDigits) {
    return false;
  }
  out = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
    out = out * 10 + (c - '0');
  }
  return true;
}

}  // namespace

Rational limitTerms(Rational r, int64_t limit) {
  int64_t a = r.num;
  int64_t b = r.den;
  while (b != 0) {
    const int64_t t = a % b;
    a = b;
    b = t;
  }
  if (a > 1) {
    r.num /= a;
    r.den /= a;
  }
  if (r.num <= limit && r.den <= limit) {
    return r;
  }
  // Continued fraction convergents, the last that fits, then the best
  // semiconvergent between it and the next.
  int64_t h0 = 0, h1 = 1, k0 = 1, k1 = 0;
  int64_t num = r.num;
  int64_t den = r.den;
  while (den != 0) {
    const int64_t q = num / den;
    const int64_t h2 = q * h1 + h0;
    const int64_t k2 = q * k1 + k0;
    if (h2 > limit || k2 > limit) {
      int64_t m = std::min(h1 != 0 ? (limit - h0) / h1 : q, k1 != 0 ? (limit - k0) / k1 : q);
      Rational best{h1, k1};
      if (m > 0) {
        const Rational semi{m * h1 + h0, m * k1 + k0};
        const double want = r.value();
        if (std::abs(semi.value() - want) < std::abs(best.value() - want)) {
          best = semi;
        }
      }
      return best.den == 0 ? Rational{limit, 1} : best;
    }
    h0 = h1;
    h1 = h2;
    k0 = k1;
    k1 = k2;
    const int64_t t = num - q * den;
    num = den;
    den = t;
  }
  return Rational{h1, k1};
}

namespace {

// "W", "W.F", ".F" or "W." as a rational; digits past the ninth of the
// fraction are dropped (a nanosecond is finer than any frame or sample).
bool parseDecimal(const std::string& text, Rational& out) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (fraction.size() > 9 && fraction.find_first_not_of("0123456789") == std::string::npos) {
    fraction.resize(9);
  }
  int64_t w = 0;
  int64_t f = 0;
  if ((whole.empty() && fraction.empty()) || (!whole.empty() && !parseWhole(whole, w, 9)) ||
      (!fraction.empty() && !parseWhole(fraction, f, 9))) {
    return false;
  }
  int64_t scale = 1;
  for (size_t i = 0; i < fraction.size(); ++i) {
    scale *= 10;
  }
  out = Rational{w * scale + f, scale};
  return true;
}

}  // namespace

bool parseRational(const std::string& text, Rational& out) {
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    Rational r;
    if (!parseWhole(text.substr(0, slash), r.num, 9) || !parseWhole(text.substr(slash + 1), r.den, 9) || r.den == 0) {
      return false;
    }
    out = r;
    return true;
  }
  // A decimal with a power of ten ("1e2", "2.5E-1"), as a calculator writes it.
  const size_t e = text.find_first_of("eE");
  Rational r;
  if (!parseDecimal(text.substr(0, e), r)) {
    return false;
  }
  if (e != std::string::npos) {
    std::string power = text.substr(e + 1);
    const bool down = !power.empty() && power[0] == '-';
    if (!power.empty() && (power[0] == '-' || power[0] == '+')) {
      power.erase(0, 1);
    }
    int64_t p = 0;
    if (!parseWhole(power, p, 2)) {
      return false;
    }
    for (; p > 0; --p) {
      int64_t& term = down ? r.den : r.num;
      if (term > INT64_MAX / 10 / 4) {
        return false;
      }
      term *= 10;
    }
  }
  // The same range as the plain form: under a billion, to nine decimals.
  constexpr int64_t kBillion = 1000000000;
  if (r.den > kBillion || r.num / r.den >= kBillion) {
    return false;
  }
  out = r;
  return true;
}

int64_t FrameClock::soundFrameAt(int64_t n) const {
  return floorDiv(Wide(2) * n * fps_.den * rate_ + fps_.num, Wide(2) * fps_.num);
}

int64_t FrameClock::frameAtOrAfter(Rational t) const {
  return ceilDiv(Wide(t.num) * fps_.num, Wide(t.den) * fps_.den);
}

int64_t FrameClock::framesFor(int64_t soundFrames) const {
  return ceilDiv(Wide(soundFrames) * fps_.num, Wide(rate_) * fps_.den);
}

int64_t FrameClock::soundFrameAtTime(Rational t) const {
  return floorDiv(Wide(2) * t.num * rate_ + t.den, Wide(2) * t.den);
}

double FrameClock::seconds(int64_t n) const {
  return static_cast<double>(n) * static_cast<double>(fps_.den) / static_cast<double>(fps_.num);
}
