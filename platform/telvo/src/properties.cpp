#include <cstdio>
#include <cstring>
#include <ostream>

#include "telvo.h"

// ---------------------------------------------------------------------------
// D_fct

D_fct::D_fct(const std::string& text, EqFct* eq, int flags) : eq_(eq) {
  (void)flags;
  const auto blank = text.find(' ');
  name_ = text.substr(0, blank);
  if (blank != std::string::npos) description_ = text.substr(blank + 1);
  if (eq_) eq_->add_property(this);
}

D_fct::~D_fct() {
  if (eq_) eq_->remove_property(this);
}

void D_fct::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->init();
}
void D_fct::set(EqAdr*, EqData*, EqData*, EqFct*) {}
void D_fct::names(EqAdr*, EqData* out) {
  if (out) out->set(name_ + " " + description_);
}
void D_fct::get_multi(EqAdr*, EqData*, EqData*, int*, const char*, time_t*) {}
void D_fct::conf(Config* c) { conf_insert(c, data_type()); }
void D_fct::read() {}
void D_fct::read_from_conf(D_conf_struct*) {}
void D_fct::write(std::ostream&) {}
void D_fct::auto_init() {}
const std::string& D_fct::comment() { return description_; }
int D_fct::data_type() const { return DATA_NULL; }
int D_fct::data_type() { return static_cast<const D_fct*>(this)->data_type(); }
int D_fct::daq_type() { return 0; }
void D_fct::conf_insert(Config* c, int type) {
  if (c) c->insert(name_, type);
}
void D_fct::conf_process(Config*) {}
void D_fct::callback_(int) {}
int D_fct::permission() { return permission_; }
void D_fct::permission(int p) { permission_ = p; }
void D_fct::d_error(int code) { error_code_ = code; }
void D_fct::d_error(int code, const std::string& text) {
  error_code_ = code;
  error_text_ = text;
}
void D_fct::d_error(const std::string& text) { error_text_ = text; }
void D_fct::d_error(int code, int, const std::string& text) { d_error(code, text); }
void D_fct::set_mode(int mode) { mode_ = mode; }
void D_fct::send(EqData*) {}

D_conf_struct* D_fct::find_prop_name() { return eq_ ? eq_->find_conf(name_) : nullptr; }

namespace {

void write_int(std::ostream& out, long v) { out << " \t" << v << '\n'; }

// Texts are saved on one line: backslash, newline and carriage return are
// escaped and read back by the configuration loader.
std::string escape_text(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// D_value<int>

namespace telvo {

template <class T>
void D_value<T>::set_value(T v, time_t stamp, int event, int status) {
  value_.store(v);
  stamp_.store(stamp ? stamp : static_cast<time_t>(TELVOtime()));
  event_.store(event);
  status_.store(status);
}

template <class T>
T D_value<T>::value(uint64_t, time_t, int) {
  return value_.load();
}

template <class T>
void D_value<T>::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(static_cast<int>(value()));
}

template <class T>
void D_value<T>::set(EqAdr*, EqData* in, EqData*, EqFct*) {
  if (in) set_value(static_cast<T>(in->get_int()));
}

// Restores the saved value directly, without the hooks of set_value.
template <class T>
void D_value<T>::read() {
  if (D_conf_struct* c = find_prop_name()) value_.store(static_cast<T>(c->ival));
}

template <class T>
void D_value<T>::write(std::ostream& out) {
  write_int(out, static_cast<long>(value_.load()));
}

template class D_value<int>;

}  // namespace telvo

// ---------------------------------------------------------------------------
// D_int_ptr. The pointed-to int may be shared by several properties and
// threads; it is accessed atomically.

D_int_ptr::D_int_ptr(const std::string& text, int* p, EqFct* eq) : D_fct(text, eq), ptr_(p) {}

void D_int_ptr::set_ptr(int* p) { ptr_.store(p); }
int* D_int_ptr::get_ptr() { return ptr_.load(); }

void D_int_ptr::set_value(int v) {
  if (int* p = ptr_.load()) __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

int D_int_ptr::get_value() { return value(); }

int D_int_ptr::value() {
  int* p = ptr_.load();
  return p ? __atomic_load_n(p, __ATOMIC_RELAXED) : 0;
}

void D_int_ptr::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(value());
}

void D_int_ptr::set(EqAdr*, EqData* in, EqData*, EqFct*) {
  if (in) set_value(in->get_int());
}

void D_int_ptr::read() {
  if (D_conf_struct* c = find_prop_name())
    if (int* p = ptr_.load()) __atomic_store_n(p, c->ival, __ATOMIC_RELAXED);
}

void D_int_ptr::write(std::ostream& out) { write_int(out, value()); }

// ---------------------------------------------------------------------------
// D_string

namespace {
constexpr int kOwnTextLimit = 65535;
}

D_string::D_string(const std::string& text, EqFct* eq) : D_fct(text, eq), max_len_(kOwnTextLimit) {}

D_string::D_string(const std::string& text, char* buf, u_short size, EqFct* eq)
    : D_fct(text, eq), buf_(buf), size_(buf ? size : 0), max_len_(size_ > 0 ? size_ - 1 : 0) {}

void D_string::store(const std::string& v) {
  std::lock_guard<std::mutex> lk(mx_);
  const size_t n = std::min(v.size(), static_cast<size_t>(max_len_));
  if (buf_) {
    if (size_ <= 0) return;
    std::memcpy(buf_, v.data(), n);
    buf_[n] = '\0';
  } else {
    own_.assign(v, 0, n);
  }
}

void D_string::set_value(const std::string& v) { set_value(v, 0); }

void D_string::set_value(const std::string& v, time_t stamp) {
  store(v);
  std::lock_guard<std::mutex> lk(mx_);
  stamp_ = stamp ? stamp : static_cast<time_t>(TELVOtime());
}

void D_string::copy_value(const std::string& v) { store(v); }

std::string D_string::get_value() { return value(); }

std::string D_string::value() {
  std::lock_guard<std::mutex> lk(mx_);
  if (buf_) return size_ > 0 ? std::string(buf_, strnlen(buf_, static_cast<size_t>(size_))) : std::string();
  return own_;
}

int D_string::length() {
  std::lock_guard<std::mutex> lk(mx_);
  return max_len_;
}

void D_string::set_length(int len) {
  std::lock_guard<std::mutex> lk(mx_);
  if (len < 0) len = 0;
  if (buf_) len = std::min(len, size_ > 0 ? size_ - 1 : 0);
  max_len_ = len;
  if (!buf_ && own_.size() > static_cast<size_t>(len)) own_.resize(static_cast<size_t>(len));
}

void D_string::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(value());
}

void D_string::set(EqAdr*, EqData* in, EqData*, EqFct*) {
  if (in) set_value(in->get_string());
}

void D_string::read() {
  if (D_conf_struct* c = find_prop_name()) store(c->sval);
}

void D_string::write(std::ostream& out) { out << " \t" << escape_text(value()) << '\n'; }

// ---------------------------------------------------------------------------
// D_iiii

D_iiii::D_iiii(const std::string& text, EqFct* eq) : D_fct(text, eq) {}

IIII* D_iiii::value() {
  thread_local IIII snapshot;
  std::lock_guard<std::mutex> lk(mx_);
  snapshot = v_;
  return &snapshot;
}

void D_iiii::set_value(const IIII& v) {
  std::lock_guard<std::mutex> lk(mx_);
  v_ = v;
}

void D_iiii::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(*value());
}

void D_iiii::set(EqAdr*, EqData* in, EqData*, EqFct*) {
  if (in)
    if (const IIII* r = in->get_iiii()) set_value(*r);
}

void D_iiii::read() {
  if (D_conf_struct* c = find_prop_name()) set_value(c->iiii);
}

void D_iiii::write(std::ostream& out) {
  IIII v = *value();
  char buf[80];
  std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", v.i1_data, v.i2_data, v.i3_data, v.i4_data);
  out << buf;
}
