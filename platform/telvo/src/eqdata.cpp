#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "telvo.h"

namespace {

// Float to int without undefined behaviour: out-of-range values saturate,
// NaN reads as 0.
int float_to_int(float f) {
  if (std::isnan(f)) return 0;
  if (f >= static_cast<float>(INT_MAX)) return INT_MAX;
  if (f <= static_cast<float>(INT_MIN)) return INT_MIN;
  return static_cast<int>(f);
}

int text_to_int(const std::string& s) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (end == s.c_str() || errno == ERANGE || v > INT_MAX || v < INT_MIN) return 0;
  return static_cast<int>(v);
}

}  // namespace

void EqData::set(int v) {
  init();
  type_ = DATA_INT;
  ival_ = v;
}

void EqData::set(float v) {
  init();
  type_ = DATA_FLOAT;
  fval_ = v;
}

void EqData::set(const std::string& v) {
  init();
  type_ = DATA_STRING;
  sval_ = v;
}

void EqData::set(const IIII& v) {
  init();
  type_ = DATA_IIII;
  iiii_ = v;
}

void EqData::set(int i1, float f1, float f2, long tm, const std::string& str, int index) {
  if (index < 0) return;
  if (type_ != DATA_MULTI) {
    init();
    type_ = DATA_MULTI;
  }
  if (elements_.size() <= static_cast<size_t>(index)) elements_.resize(static_cast<size_t>(index) + 1);
  elements_[static_cast<size_t>(index)] = Element{i1, f1, f2, tm, str};
}

int EqData::get_int() const {
  switch (type_) {
    case DATA_INT: return ival_;
    case DATA_FLOAT: return float_to_int(fval_);
    case DATA_STRING: return text_to_int(sval_);
    case DATA_IIII: return iiii_.i1_data;
    case DATA_MULTI: return elements_.empty() ? 0 : elements_[0].i1;
    default: return 0;
  }
}

float EqData::get_float() const {
  switch (type_) {
    case DATA_INT: return static_cast<float>(ival_);
    case DATA_FLOAT: return fval_;
    case DATA_STRING: return std::strtof(sval_.c_str(), nullptr);
    case DATA_IIII: return static_cast<float>(iiii_.i1_data);
    case DATA_MULTI: return elements_.empty() ? 0.0f : elements_[0].f1;
    default: return 0.0f;
  }
}

std::string EqData::get_string() const {
  switch (type_) {
    case DATA_INT: return std::to_string(ival_);
    case DATA_FLOAT: return std::to_string(fval_);
    case DATA_STRING: return sval_;
    case DATA_IIII:
      return std::to_string(iiii_.i1_data) + " " + std::to_string(iiii_.i2_data) + " " +
             std::to_string(iiii_.i3_data) + " " + std::to_string(iiii_.i4_data);
    case DATA_MULTI: return elements_.empty() ? std::string() : elements_[0].str;
    default: return std::string();
  }
}

IIII* EqData::get_iiii() { return type_ == DATA_IIII ? &iiii_ : nullptr; }
const IIII* EqData::get_iiii() const { return type_ == DATA_IIII ? &iiii_ : nullptr; }

int EqData::length() const {
  if (type_ == DATA_MULTI) return static_cast<int>(elements_.size());
  return type_ == DATA_NULL ? 0 : 1;
}

const EqData::Element* EqData::element(int index) const {
  if (type_ != DATA_MULTI || index < 0 || static_cast<size_t>(index) >= elements_.size()) return nullptr;
  return &elements_[static_cast<size_t>(index)];
}
