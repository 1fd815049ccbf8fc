// Values of dictionary entries: types, the Value class, reading numbers as
// data sheets write them, and the checks and byte forms of values on the bus.
#include "od/od_values.h"

#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vorbel {
namespace od {

namespace {

constexpr int64_t kMsPerDay = 86400000;

struct TypeRow {
  uint16_t code;
  TypeInfo info;
};

const TypeRow kTypes[] = {
    {0x01, {TypeClass::Boolean, "BOOLEAN", 1}},
    {0x02, {TypeClass::Signed, "INTEGER8", 1}},
    {0x03, {TypeClass::Signed, "INTEGER16", 2}},
    {0x04, {TypeClass::Signed, "INTEGER32", 4}},
    {0x05, {TypeClass::Unsigned, "UNSIGNED8", 1}},
    {0x06, {TypeClass::Unsigned, "UNSIGNED16", 2}},
    {0x07, {TypeClass::Unsigned, "UNSIGNED32", 4}},
    {0x08, {TypeClass::Real, "REAL32", 4}},
    {0x09, {TypeClass::Visible, "VISIBLE_STRING", 0}},
    {0x0A, {TypeClass::Octet, "OCTET_STRING", 0}},
    {0x0B, {TypeClass::Unicode, "UNICODE_STRING", 0}},
    {0x0C, {TypeClass::Time, "TIME_OF_DAY", 6}},
    {0x0D, {TypeClass::Time, "TIME_DIFFERENCE", 6}},
    {0x0F, {TypeClass::Domain, "DOMAIN", 0}},
    {0x10, {TypeClass::Signed, "INTEGER24", 3}},
    {0x11, {TypeClass::Real, "REAL64", 8}},
    {0x12, {TypeClass::Signed, "INTEGER40", 5}},
    {0x13, {TypeClass::Signed, "INTEGER48", 6}},
    {0x14, {TypeClass::Signed, "INTEGER56", 7}},
    {0x15, {TypeClass::Signed, "INTEGER64", 8}},
    {0x16, {TypeClass::Unsigned, "UNSIGNED24", 3}},
    {0x18, {TypeClass::Unsigned, "UNSIGNED40", 5}},
    {0x19, {TypeClass::Unsigned, "UNSIGNED48", 6}},
    {0x1A, {TypeClass::Unsigned, "UNSIGNED56", 7}},
    {0x1B, {TypeClass::Unsigned, "UNSIGNED64", 8}},
};

bool ieq(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return i == a.size() && !b[i];
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// One unsigned literal: 0x hexadecimal, leading-0 octal, else decimal. *based
// tells whether it was hexadecimal or octal.
bool read_literal(const std::string& t, Wide* out, bool* based) {
  int base = 10;
  std::size_t at = 0;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    at = 2;
  } else if (t.size() > 1 && t[0] == '0') {
    base = 8;
    at = 1;
  }
  if (at >= t.size()) return false;
  Wide v = 0;
  for (; at < t.size(); ++at) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(t[at])));
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (d < 0 || d >= base) return false;
    v = v * base + d;
    if (v > static_cast<Wide>(UINT64_MAX)) return false;
  }
  *out = v;
  *based = base != 10;
  return true;
}

bool read_real(const std::string& t, double* out) {
  if (t.empty()) return false;
  const char* end = t.data() + t.size();
  const char* begin = t.data() + (t[0] == '+' ? 1 : 0);
  const auto r = std::from_chars(begin, end, *out);
  return r.ec == std::errc() && r.ptr == end;
}

// An integer expression: terms joined by + and -, each a literal or $NODEID.
bool read_integer(const std::string& text, uint16_t data_type, Setting* out, std::string* why) {
  const TypeInfo ti = type_info(data_type);
  Wide sum = 0;
  int node_ids = 0;
  std::size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    int sign = 1;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
      sign = text[at] == '-' ? -1 : 1;
      ++at;
    } else if (!first) {
      *why = "'" + text + "' is no number";
      return false;
    }
    const std::size_t end = text.find_first_of("+-", at);
    const std::string term = trim(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? text.size() : end;
    first = false;
    if (ieq(term, "$NODEID")) {
      node_ids += sign;
      continue;
    }
    Wide v = 0;
    bool based = false;
    if (!read_literal(term, &v, &based)) {
      *why = "'" + text + "' is no number";
      return false;
    }
    // A bit pattern of a signed type: 0xFF for an INTEGER8 is -1.
    if (based && ti.cls == TypeClass::Signed && v > type_max(data_type) && v <= (static_cast<Wide>(1) << (8 * ti.size)) - 1) {
      v -= static_cast<Wide>(1) << (8 * ti.size);
    }
    sum += sign * v;
  }
  if (first) {
    *why = "'" + text + "' is no number";
    return false;
  }
  out->value = integer_value(data_type, sum);
  out->node_ids = node_ids;
  return true;
}

uint64_t le_number(const std::string& b, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(b[static_cast<std::size_t>(i)])) << (8 * i);
  return v;
}

void put_le(std::string* b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// UTF-8 to code points; false for a malformed sequence.
bool utf8_code_points(const std::string& s, std::vector<uint32_t>* out) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const int n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (n < 0 || i + static_cast<std::size_t>(n) >= s.size()) return false;
    uint32_t cp = n == 0 ? c : c & (0x3Fu >> n);
    for (int k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};  // below: an overlong form
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out->push_back(cp);
    i += static_cast<std::size_t>(n) + 1;
  }
  return true;
}

void append_utf8(std::string* s, uint32_t cp) {
  if (cp < 0x80) {
    s->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s->push_back(static_cast<char>(0xC0 | cp >> 6));
    s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    s->push_back(static_cast<char>(0xE0 | cp >> 12));
    s->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s->push_back(static_cast<char>(0xF0 | cp >> 18));
    s->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    s->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The shortest text that reads back as the same double, whatever the locale.
std::string real_text(double d) {
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

// A value as a real, for a REAL type; false for a text that is no number or
// bytes.
bool as_real_for(const Value& v, double* d) {
  if (v.is_number()) {
    *d = v.as_real();
    return true;
  }
  return v.kind() == Value::Kind::Text && read_real(trim(v.as_text()), d);
}

// A value as an integer, for an integral type; false when it is none.
bool as_wide_for(const Value& v, const Entry& e, int node_id, Wide* w) {
  if (v.kind() == Value::Kind::Text) {
    Setting s;
    std::string ignored;
    if (!read_setting(trim(v.as_text()), e.data_type, &s, &ignored)) return false;
    return whole(s.at(node_id), w);
  }
  return whole(v, w);
}

// Fit of a number against a limit setting; `low` for LowLimit.
template <class N, class Get>
Fit against_limits(const Entry& e, N n, int node_id, std::string* why, Get get) {
  N limit{};
  if (e.low_limit.present && get(e.low_limit.at(node_id), &limit) && n < limit) {
    if (why) *why = "LowLimit " + e.low_limit.text;
    return Fit::TooLow;
  }
  if (e.high_limit.present && get(e.high_limit.at(node_id), &limit) && n > limit) {
    if (why) *why = "HighLimit " + e.high_limit.text;
    return Fit::TooHigh;
  }
  return Fit::Ok;
}

}  // namespace

// ---------------------------------------------------------------------------
// Types

TypeInfo type_info(uint16_t data_type) {
  for (const TypeRow& r : kTypes) {
    if (r.code == data_type) return r.info;
  }
  return {};
}

const char* type_name(uint16_t data_type) { return type_info(data_type).name; }
int type_size(uint16_t data_type) { return type_info(data_type).size; }

Wide type_min(uint16_t data_type) {
  const TypeInfo ti = type_info(data_type);
  return ti.cls == TypeClass::Signed ? -(static_cast<Wide>(1) << (8 * ti.size - 1)) : 0;
}

Wide type_max(uint16_t data_type) {
  const TypeInfo ti = type_info(data_type);
  switch (ti.cls) {
    case TypeClass::Signed: return (static_cast<Wide>(1) << (8 * ti.size - 1)) - 1;
    case TypeClass::Unsigned: return (static_cast<Wide>(1) << (8 * ti.size)) - 1;
    case TypeClass::Boolean: return 1;
    case TypeClass::Time: return static_cast<Wide>(0x10000) * kMsPerDay - 1;  // 16-bit days
    default: return 0;
  }
}

bool readable(Access a) { return a != Access::WriteOnly; }
bool writable(Access a) { return a != Access::ReadOnly && a != Access::Const; }

const char* access_name(Access a) {
  switch (a) {
    case Access::ReadOnly: return "ro";
    case Access::WriteOnly: return "wo";
    case Access::ReadWrite: return "rw";
    case Access::ReadWriteRead: return "rwr";
    case Access::ReadWriteWrite: return "rww";
    case Access::Const: return "const";
  }
  return "?";
}

std::string wide_text(Wide w) {
  if (w == 0) return "0";
  const bool neg = w < 0;
  std::string s;
  for (; w != 0; w /= 10) s.insert(s.begin(), static_cast<char>('0' + (neg ? -(w % 10) : w % 10)));
  return neg ? "-" + s : s;
}

Value integer_value(uint16_t data_type, Wide w) {
  if (type_info(data_type).cls == TypeClass::Signed) {
    if (w > INT64_MAX) return static_cast<uint64_t>(w);  // out of range: the caller checks
    return static_cast<int64_t>(w < INT64_MIN ? INT64_MIN : w);
  }
  if (w < 0) return static_cast<int64_t>(w < INT64_MIN ? INT64_MIN : w);
  return static_cast<uint64_t>(w);
}

bool whole(const Value& v, Wide* w) {
  switch (v.kind()) {
    case Value::Kind::Integer: *w = v.as_integer(); return true;
    case Value::Kind::Unsigned: *w = v.as_unsigned(); return true;
    case Value::Kind::Real: {
      const double d = v.as_real();
      if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) >= 1.9e19) return false;
      *w = static_cast<Wide>(d);
      return true;
    }
    default: return false;
  }
}

bool read_setting(const std::string& text, uint16_t data_type, Setting* out, std::string* why) {
  out->present = true;
  out->text = text;
  out->node_ids = 0;
  out->value = Value();
  const TypeInfo ti = type_info(data_type);
  switch (ti.cls) {
    case TypeClass::Unknown:
      *why = "no value can be read for an unknown type";
      return false;
    case TypeClass::Visible:
    case TypeClass::Unicode:
      out->value = text;
      return true;
    case TypeClass::Octet:
    case TypeClass::Domain:
      out->value = Value::bytes(text);
      return true;
    case TypeClass::Real: {
      double d = 0;
      if (!read_real(text, &d)) {
        *why = "'" + text + "' is no real number";
        return false;
      }
      out->value = d;
      return true;
    }
    case TypeClass::Boolean:
      if (ieq(text, "true") || ieq(text, "false")) {
        out->value = static_cast<uint64_t>(ieq(text, "true") ? 1 : 0);
        return true;
      }
      return read_integer(text, data_type, out, why);
    default:
      return read_integer(text, data_type, out, why);
  }
}

// ---------------------------------------------------------------------------
// Value

Value Value::bytes(std::string b) {
  Value v;
  v.kind_ = Kind::Bytes;
  v.s_ = std::move(b);
  return v;
}

int64_t Value::as_integer() const {
  switch (kind_) {
    case Kind::Integer: return i_;
    case Kind::Unsigned: return u_ > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u_);
    case Kind::Real:
      if (std::isnan(r_)) return 0;
      if (r_ >= 9.2e18) return INT64_MAX;
      if (r_ <= -9.2e18) return INT64_MIN;
      return static_cast<int64_t>(r_);
    default: return 0;
  }
}

uint64_t Value::as_unsigned() const {
  switch (kind_) {
    case Kind::Integer: return i_ < 0 ? 0 : static_cast<uint64_t>(i_);
    case Kind::Unsigned: return u_;
    case Kind::Real:
      if (std::isnan(r_) || r_ <= 0) return 0;
      if (r_ >= 1.8e19) return UINT64_MAX;
      return static_cast<uint64_t>(r_);
    default: return 0;
  }
}

double Value::as_real() const {
  switch (kind_) {
    case Kind::Integer: return static_cast<double>(i_);
    case Kind::Unsigned: return static_cast<double>(u_);
    case Kind::Real: return r_;
    default: return 0;
  }
}

std::string Value::to_string() const {
  switch (kind_) {
    case Kind::None: return "(none)";
    case Kind::Integer: return std::to_string(i_);
    case Kind::Unsigned: return std::to_string(u_);
    case Kind::Real: return real_text(r_);
    case Kind::Text: return s_;
    case Kind::Bytes: {
      std::string out;
      char hex[4];
      for (unsigned char c : s_) {
        std::snprintf(hex, sizeof hex, out.empty() ? "%02X" : " %02X", c);
        out += hex;
      }
      return out;
    }
  }
  return "";
}

bool Value::operator==(const Value& o) const {
  if (kind_ != o.kind_) return false;
  switch (kind_) {
    case Kind::None: return true;
    case Kind::Integer: return i_ == o.i_;
    case Kind::Unsigned: return u_ == o.u_;
    case Kind::Real: return r_ == o.r_;
    default: return s_ == o.s_;
  }
}

Value Setting::at(int node_id) const {
  if (node_ids == 0 || !value.is_number()) return value;
  Wide w = 0;
  if (!whole(value, &w)) return value;
  w += static_cast<Wide>(node_ids) * node_id;
  return w < 0 ? Value(static_cast<int64_t>(w < INT64_MIN ? INT64_MIN : w))
               : Value(static_cast<uint64_t>(w > UINT64_MAX ? UINT64_MAX : w));
}

// ---------------------------------------------------------------------------
// Checks and bytes on the bus

Fit fit(const Entry& e, const Value& v, int node_id, std::string* why) {
  const TypeInfo ti = type_info(e.data_type);
  const std::string type = ti.name ? ti.name : "";
  auto wrong = [&](const std::string& what) {
    if (why) *why = what;
    return Fit::WrongKind;
  };
  if (v.empty()) return wrong("no value");
  switch (ti.cls) {
    case TypeClass::Unknown:
      return wrong("its DataType " + std::to_string(e.data_type) + " is no basic type");
    case TypeClass::Real: {
      double d = 0;
      if (!as_real_for(v, &d)) return wrong("'" + v.to_string() + "' is no " + type + " value");
      if (ti.size == 4 && std::isfinite(d) && std::fabs(d) > FLT_MAX) {
        if (why) *why = "the range of REAL32";
        return d < 0 ? Fit::TooLow : Fit::TooHigh;
      }
      return against_limits(e, d, node_id, why, [](const Value& l, double* out) {
        if (!l.is_number()) return false;
        *out = l.as_real();
        return true;
      });
    }
    case TypeClass::Visible:
    case TypeClass::Unicode: {
      if (v.kind() != Value::Kind::Text) return wrong("a " + type + " takes a text");
      std::vector<uint32_t> cps;
      if (ti.cls == TypeClass::Unicode && !utf8_code_points(v.as_text(), &cps)) return wrong("the text is no UTF-8");
      return Fit::Ok;
    }
    case TypeClass::Octet:
    case TypeClass::Domain:
      if (v.kind() != Value::Kind::Text && v.kind() != Value::Kind::Bytes) return wrong("a " + type + " takes bytes");
      return Fit::Ok;
    default: {
      Wide w = 0;
      if (!as_wide_for(v, e, node_id, &w)) return wrong("'" + v.to_string() + "' is no " + type + " value");
      if (w < type_min(e.data_type) || w > type_max(e.data_type)) {
        if (why) *why = "the range of " + type + " (" + wide_text(type_min(e.data_type)) + ".." + wide_text(type_max(e.data_type)) + ")";
        return w < type_min(e.data_type) ? Fit::TooLow : Fit::TooHigh;
      }
      return against_limits(e, w, node_id, why, whole);
    }
  }
}

bool encode(const Entry& e, const Value& v, int node_id, std::string* bytes, std::string* why) {
  if (fit(e, v, node_id, why) != Fit::Ok) return false;
  const TypeInfo ti = type_info(e.data_type);
  bytes->clear();
  switch (ti.cls) {
    case TypeClass::Real: {
      double d = 0;
      as_real_for(v, &d);
      if (ti.size == 4) {
        const float f = static_cast<float>(d);
        uint32_t bits = 0;
        std::memcpy(&bits, &f, 4);
        put_le(bytes, bits, 4);
      } else {
        uint64_t bits = 0;
        std::memcpy(&bits, &d, 8);
        put_le(bytes, bits, 8);
      }
      return true;
    }
    case TypeClass::Visible:
    case TypeClass::Octet:
    case TypeClass::Domain:
      *bytes = v.as_text();
      return true;
    case TypeClass::Unicode: {
      std::vector<uint32_t> cps;
      utf8_code_points(v.as_text(), &cps);
      for (uint32_t cp : cps) {
        if (cp >= 0x10000) {
          cp -= 0x10000;
          put_le(bytes, 0xD800 | (cp >> 10), 2);
          put_le(bytes, 0xDC00 | (cp & 0x3FF), 2);
        } else {
          put_le(bytes, cp, 2);
        }
      }
      return true;
    }
    case TypeClass::Time: {
      Wide w = 0;
      as_wide_for(v, e, node_id, &w);
      put_le(bytes, static_cast<uint64_t>(w % kMsPerDay), 4);
      put_le(bytes, static_cast<uint64_t>(w / kMsPerDay), 2);
      return true;
    }
    default: {
      Wide w = 0;
      as_wide_for(v, e, node_id, &w);
      put_le(bytes, static_cast<uint64_t>(w), ti.size);  // two's complement for negatives
      return true;
    }
  }
}

bool decode(const Entry& e, const std::string& bytes, Value* v, std::string* why) {
  const TypeInfo ti = type_info(e.data_type);
  if (ti.size > 0 && bytes.size() < static_cast<std::size_t>(ti.size)) {
    if (why) *why = std::to_string(bytes.size()) + " bytes for a " + ti.name + " of " + std::to_string(ti.size);
    return false;
  }
  switch (ti.cls) {
    case TypeClass::Unknown:
    case TypeClass::Octet:
    case TypeClass::Domain:
      *v = Value::bytes(bytes);
      return true;
    case TypeClass::Visible:
      // A device may pad its text with NULs.
      *v = bytes.substr(0, bytes.find('\0'));
      return true;
    case TypeClass::Unicode: {
      std::string text;
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t cu = static_cast<uint32_t>(le_number(bytes.substr(i, 2), 2));
        if (cu == 0) break;
        if (cu >= 0xD800 && cu < 0xDC00 && i + 3 < bytes.size()) {
          const uint32_t lo = static_cast<uint32_t>(le_number(bytes.substr(i + 2, 2), 2));
          if (lo >= 0xDC00 && lo < 0xE000) {
            cu = 0x10000 + ((cu - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
          }
        }
        append_utf8(&text, cu >= 0xD800 && cu < 0xE000 ? 0xFFFD : cu);
      }
      *v = text;
      return true;
    }
    case TypeClass::Real:
      if (ti.size == 4) {
        const auto bits = static_cast<uint32_t>(le_number(bytes, 4));
        float f = 0;
        std::memcpy(&f, &bits, 4);
        *v = static_cast<double>(f);
      } else {
        const uint64_t bits = le_number(bytes, 8);
        double d = 0;
        std::memcpy(&d, &bits, 8);
        *v = d;
      }
      return true;
    case TypeClass::Time:
      *v = static_cast<uint64_t>(le_number(bytes, 4) & 0x0FFFFFFF) +
           le_number(bytes.substr(4), 2) * static_cast<uint64_t>(kMsPerDay);
      return true;
    case TypeClass::Signed: {
      uint64_t raw = le_number(bytes, ti.size);
      const int bits = 8 * ti.size;
      if (bits < 64 && (raw >> (bits - 1)) & 1) raw |= ~0ULL << bits;  // sign extension
      *v = static_cast<int64_t>(raw);
      return true;
    }
    default:
      *v = le_number(bytes, ti.size);
      return true;
  }
}

}  // namespace od
}  // namespace vorbel
