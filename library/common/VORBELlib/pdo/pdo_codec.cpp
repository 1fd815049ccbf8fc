// PDO values, mappings and the codec that turns one into the other: one
// encode and one decode, both walking the mapping table.
#include <cfloat>
#include <cmath>

#include "pdo/pdo_bits.h"

namespace vorbel {

namespace {

// 2^bits as a double (exact for every bits 0..64).
double two_to(int bits) { return std::ldexp(1.0, bits); }

// A real that is a whole number in [lo, hi).
bool whole_in(double f, double lo, double hi) { return std::trunc(f) == f && f >= lo && f < hi; }

float to_float(uint64_t raw) {
  const auto b = static_cast<uint32_t>(raw);
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

// The bits of value v for entry e, or false when it does not fit.
bool raw_of(const PdoEntry& e, const PdoValue& v, uint64_t* raw) {
  const int bits = e.bits;
  switch (e.type) {
    case PdoType::Unsigned: {
      uint64_t u = 0;
      if (v.kind() == PdoValue::Kind::Real) {
        if (!whole_in(v.as_real(), 0, two_to(bits))) return false;
        u = static_cast<uint64_t>(v.as_real());
      } else if (v.kind() == PdoValue::Kind::Signed) {
        if (v.as_signed() < 0) return false;
        u = static_cast<uint64_t>(v.as_signed());
      } else {
        u = v.as_unsigned();
      }
      *raw = u;
      return u <= bit_mask(bits);
    }
    case PdoType::Signed: {
      const int64_t max = static_cast<int64_t>(bit_mask(bits - 1));  // 2^(bits-1) - 1
      const int64_t min = -max - 1;
      int64_t i = 0;
      if (v.kind() == PdoValue::Kind::Real) {
        if (!whole_in(v.as_real(), -two_to(bits - 1), two_to(bits - 1))) return false;
        i = static_cast<int64_t>(v.as_real());
      } else if (v.kind() == PdoValue::Kind::Unsigned) {
        if (v.as_unsigned() > static_cast<uint64_t>(max)) return false;
        i = static_cast<int64_t>(v.as_unsigned());
      } else {
        i = v.as_signed();
        if (i < min || i > max) return false;
      }
      *raw = static_cast<uint64_t>(i) & bit_mask(bits);
      return true;
    }
    case PdoType::Real32: {
      const double d = v.as_real();
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return false;
      const float f = static_cast<float>(d);
      uint32_t b;
      std::memcpy(&b, &f, sizeof b);
      *raw = b;
      return true;
    }
    case PdoType::Real64: {
      const double d = v.as_real();
      std::memcpy(raw, &d, sizeof d);
      return true;
    }
  }
  return false;
}

}  // namespace

// --- PdoValue

uint64_t PdoValue::real_bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

uint64_t PdoValue::as_unsigned() const {
  if (kind_ != Kind::Real) return bits_;
  const double f = as_real();
  if (!(f > 0)) return 0;  // NaN too
  return f >= two_to(64) ? ~uint64_t{0} : static_cast<uint64_t>(f);
}

int64_t PdoValue::as_signed() const {
  if (kind_ != Kind::Real) return static_cast<int64_t>(bits_);
  const double f = as_real();
  if (std::isnan(f)) return 0;
  if (f >= two_to(63)) return INT64_MAX;
  if (f < -two_to(63)) return INT64_MIN;
  return static_cast<int64_t>(f);
}

double PdoValue::as_real() const {
  switch (kind_) {
    case Kind::Unsigned: return static_cast<double>(bits_);
    case Kind::Signed: return static_cast<double>(static_cast<int64_t>(bits_));
    case Kind::Real: break;
  }
  double f;
  std::memcpy(&f, &bits_, sizeof f);
  return f;
}

bool PdoValue::operator==(const PdoValue& o) const { return kind_ == o.kind_ && bits_ == o.bits_; }

PdoValue value_of(const PdoEntry& e, uint64_t raw) {
  switch (e.type) {
    case PdoType::Signed: {
      const uint64_t sign = uint64_t{1} << (e.bits - 1);
      return PdoValue(static_cast<int64_t>((raw ^ sign) - sign));  // sign-extended
    }
    case PdoType::Real32: return PdoValue(to_float(raw));
    case PdoType::Real64: {
      double d;
      std::memcpy(&d, &raw, sizeof d);
      return PdoValue(d);  // the same bits
    }
    case PdoType::Unsigned: break;
  }
  return PdoValue(raw);
}

// --- PdoMapping

namespace {
bool length_fits_type(int bits, PdoType type) {
  return (type != PdoType::Real32 || bits == 32) && (type != PdoType::Real64 || bits == 64);
}
}  // namespace

int PdoMapping::add(uint16_t index, uint8_t subindex, int bits, PdoType type) {
  if (bits < 1 || bits_ + bits > kMaxBits || !length_fits_type(bits, type)) return NTCAN_INVALID_PARAMETER;
  const auto i = static_cast<std::size_t>(count_);
  entries_[i] = PdoEntry{index, subindex, static_cast<uint8_t>(bits), type};
  offsets_[i] = static_cast<uint8_t>(bits_);
  ++count_;
  bits_ += bits;
  return 0;
}

int PdoMapping::set_type(int i, PdoType type) {
  if (i < 0 || i >= count_ || !length_fits_type(entries_[static_cast<std::size_t>(i)].bits, type))
    return NTCAN_INVALID_PARAMETER;
  entries_[static_cast<std::size_t>(i)].type = type;
  return 0;
}

int PdoMapping::find(uint16_t index, uint8_t subindex) const {
  for (int i = 0; i < count_; ++i)
    if ((*this)[i].index == index && (*this)[i].subindex == subindex) return i;
  return -1;
}

bool PdoMapping::operator==(const PdoMapping& o) const {
  if (count_ != o.count_) return false;
  for (int i = 0; i < count_; ++i)
    if (!((*this)[i] == o[i])) return false;
  return true;
}

uint32_t pdo_default_cob_id(PdoKind kind, int number, int node_id) {
  if (number < 1 || number > 4 || node_id < 1 || node_id > 127) return PdoComm::kInvalid;
  // Transmit PDO n at 0x180 + (n - 1) * 0x100, receive PDO n 0x80 above it.
  const int base = 0x180 + (number - 1) * 0x100 + (kind == PdoKind::Receive ? 0x80 : 0);
  return static_cast<uint32_t>(base + node_id);
}

// --- Codec

int pdo_encode(const PdoMapping& mapping, const PdoValue* values, int count, unsigned char data[8], int* bad) {
  if (bad) *bad = -1;
  if (count != mapping.size() || (count > 0 && !values) || !data) return NTCAN_INVALID_PARAMETER;
  uint64_t word = 0;
  for (int i = 0; i < count; ++i) {
    uint64_t raw = 0;
    if (!raw_of(mapping[i], values[i], &raw)) {
      if (bad) *bad = i;
      return NTCAN_INVALID_PARAMETER;
    }
    word |= raw << mapping.offset(i);
  }
  unsigned char frame[8];
  store_le(word, frame);
  std::memcpy(data, frame, static_cast<std::size_t>(mapping.bytes()));
  return 0;
}

int pdo_decode(const PdoMapping& mapping, const unsigned char* data, int len, PdoValue* values) {
  if (len != mapping.bytes() || (len > 0 && !data) || (mapping.size() > 0 && !values)) return -1;
  unsigned char frame[8] = {};
  std::memcpy(frame, data, static_cast<std::size_t>(len));
  const uint64_t word = load_le(frame);
  for (int i = 0; i < mapping.size(); ++i) values[i] = value_of(mapping[i], entry_bits(mapping, i, word));
  return 0;
}

}  // namespace vorbel
