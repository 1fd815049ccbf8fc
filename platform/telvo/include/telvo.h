// TELVO server framework: the part of its interface that device code and
// libVORBEL use. This is our own small stand-in for the real framework; it is
// built as the library `telvo` and is enough to run a server with properties,
// clients and a configuration file. Against the real framework this header
// is replaced by the framework's own.
//
// Overview
//   EqFct      an equipment function: a named container of properties, the
//              unit that clients address, that is configured from a file and
//              whose client calls are serialised by its lock.
//   D_fct      the property base. A property is entered into its EqFct under
//              its name: the text up to the first blank of the text it was
//              constructed with; the rest is its description.
//   D_int, D_int_ptr, D_string, D_iiii   the value properties.
//   EqData     the data of one client call (in or out).
//   telvo::printtostderr, TELVOsleep, TELVOtime, TELVO_debug   log, time.
//
// Time goes through a replaceable clock (see telvo_clock.h): the real clock by
// default, a scaled one when TELVO_TIME_SCALE is set, a manual one in tests.
#ifndef TELVO_H
#define TELVO_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>  // u_short, u_char

// ---------------------------------------------------------------------------
// Data type codes of properties and client data.
enum : int {
  DATA_NULL = 0,
  DATA_INT = 1,
  DATA_FLOAT = 2,
  DATA_STRING = 3,
  DATA_IIII = 14,   // a record of four 32-bit integers
  DATA_MULTI = 30,  // a list of (int, float, float, time, text) elements
};

// A record of four 32-bit signed integers.
struct IIII {
  int32_t i1_data = 0;
  int32_t i2_data = 0;
  int32_t i3_data = 0;
  int32_t i4_data = 0;
};

inline bool operator==(const IIII& a, const IIII& b) {
  return a.i1_data == b.i1_data && a.i2_data == b.i2_data && a.i3_data == b.i3_data &&
         a.i4_data == b.i4_data;
}
inline bool operator!=(const IIII& a, const IIII& b) { return !(a == b); }

// Address of a client call. The stand-in keeps only the property name.
class EqAdr {
 public:
  EqAdr() = default;
  explicit EqAdr(std::string property) : property_(std::move(property)) {}
  const std::string& property() const { return property_; }

 private:
  std::string property_;
};

// The data of one client call: a single value of one type, or a list of
// multi-elements. Setting a value replaces the previous one.
class EqData {
 public:
  struct Element {
    int i1 = 0;
    float f1 = 0.0f;
    float f2 = 0.0f;
    long tm = 0;
    std::string str;
  };

  int type() const { return type_; }
  void init() { *this = EqData(); }

  void set(int v);
  void set(float v);
  void set(const std::string& v);
  void set(const IIII& v);
  // Store one element at position index of a multi-element reply; the list
  // grows as needed. A negative index is refused (nothing stored).
  void set(int i1, float f1, float f2, long tm, const std::string& str, int index);

  // The stored value converted to the requested type (0 or "" when it does
  // not convert).
  int get_int() const;
  float get_float() const;
  std::string get_string() const;
  // The stored record, or null unless the data hold an IIII record.
  IIII* get_iiii();
  const IIII* get_iiii() const;
  // Elements of a multi-element reply.
  int length() const;
  const Element* element(int index) const;

 private:
  int type_ = DATA_NULL;
  int ival_ = 0;
  float fval_ = 0.0f;
  std::string sval_;
  IIII iiii_;
  std::vector<Element> elements_;
};

// One stored configuration entry, parsed by the type code under which its
// property entered the configuration.
struct D_conf_struct {
  std::string name;
  int type = DATA_NULL;
  std::string text;  // the value text as found in the file
  int line = 0;      // its line in the file
  int ival = 0;
  float fval = 0.0f;
  std::string sval;
  IIII iiii;
};

// The configuration being built for an equipment function: which property
// is stored under which type code.
class Config {
 public:
  void insert(const std::string& name, int type);
  // Type code of a property, or DATA_NULL when it did not enter.
  int type_of(const std::string& name) const;
  const std::map<std::string, int>& entries() const { return types_; }

 private:
  std::map<std::string, int> types_;
};

class D_fct;

// An equipment function: a named container of properties.
class EqFct {
 public:
  explicit EqFct(std::string name);
  virtual ~EqFct();
  EqFct(const EqFct&) = delete;
  EqFct& operator=(const EqFct&) = delete;

  // The name under which the equipment function is known (log origin of
  // address changes, section of the configuration file).
  const std::string& name() const { return name_; }

  // User and host of the client call in progress; empty outside a call.
  std::string get_username();
  std::string get_hostname();

  // Properties, by name. Properties add and remove themselves.
  void add_property(D_fct* p);
  void remove_property(D_fct* p);
  D_fct* find_property(const std::string& name);
  std::vector<D_fct*> properties();

  // The lock that serialises client calls, configuration loading and saving.
  // Device code takes it around work that must not interleave with clients.
  std::recursive_mutex& lock() { return mx_; }

  // Client call path: read or write a property by name as user@host.
  // Returns 0, -1 when there is no such property, or the code of the error
  // the property raised with d_error during the call (its text in *error).
  int client_get(const std::string& prop, EqData* out, const std::string& user = "",
                 const std::string& host = "");
  int client_set(const std::string& prop, const EqData& in, const std::string& user = "",
                 const std::string& host = "", std::string* error = nullptr);

  // The stored configuration entry of a property, or null.
  D_conf_struct* find_conf(const std::string& prop);

  // Load this equipment function's section of a configuration file and call
  // read() on every property. Returns 0; or -1 with a message in *error when
  // the file is missing, unreadable, a directory or malformed (the error of
  // the first bad line), and then no property is touched. While a property
  // reads its entry, what it logs is prefixed with the entry's place
  // ("srv.conf:3: ").
  int load_config(const std::string& path, std::string* error = nullptr);
  // Save this equipment function alone to a file (replacing it atomically,
  // keeping the file's mode and owner). Fails, writing nothing, for a
  // property whose name or value text could not be read back.
  int save_config(const std::string& path, std::string* error = nullptr);

 private:
  friend int telvo_load_config(const std::string&, const std::vector<EqFct*>&, std::string*);
  std::string name_;
  std::recursive_mutex mx_;
  std::vector<D_fct*> props_;
  std::map<std::string, D_conf_struct> conf_;
  std::string user_;
  std::string host_;
};

// The property base. Virtual operations in their slot order.
class D_fct {
 public:
  // text: the property name, optionally a blank and a description.
  D_fct(const std::string& text, EqFct* eq, int flags = 0);
  virtual ~D_fct();
  D_fct(const D_fct&) = delete;
  D_fct& operator=(const D_fct&) = delete;

  virtual void get(EqAdr* adr, EqData* in, EqData* out, EqFct* eq);
  virtual void set(EqAdr* adr, EqData* in, EqData* out, EqFct* eq);
  virtual void names(EqAdr* adr, EqData* out);
  virtual void get_multi(EqAdr* adr, EqData* in, EqData* out, int* index, const char* addr,
                         time_t* stamp);
  virtual void conf(Config* c);
  virtual void read();
  virtual void read_from_conf(D_conf_struct* entry);
  virtual void write(std::ostream& out);
  virtual void auto_init();
  virtual const std::string& comment();
  virtual int data_type() const;
  virtual int data_type();
  virtual int daq_type();
  virtual void conf_insert(Config* c, int type);
  virtual void conf_process(Config* c);
  virtual void callback_(int reason);
  virtual int permission();
  virtual void permission(int p);
  virtual void d_error(int code);
  virtual void d_error(int code, const std::string& text);
  virtual void d_error(const std::string& text);
  virtual void d_error(int code, int severity, const std::string& text);
  virtual void set_mode(int mode);
  virtual void send(EqData* data);

  // The property's name: the text up to its first blank.
  const std::string& basename() const { return name_; }
  const std::string& description() const { return description_; }
  // The configuration entry stored under this property's name, or null.
  D_conf_struct* find_prop_name();
  // The error raised with d_error (code 0: none); a client call starts
  // without one.
  int error_code() const { return error_code_; }
  const std::string& error_text() const { return error_text_; }
  void clear_error() {
    error_code_ = 0;
    error_text_.clear();
  }
  EqFct* get_eqfct() const { return eq_; }
  // Called by an equipment function that goes away before its properties.
  void detach_eqfct() { eq_ = nullptr; }

 private:
  std::string name_;
  std::string description_;
  EqFct* eq_;
  int permission_ = 0;
  int mode_ = 0;
  int error_code_ = 0;
  std::string error_text_;
};

namespace telvo {

// Integer property with a value of its own.
template <class T>
class D_value : public D_fct {
 public:
  D_value(const std::string& text, EqFct* eq) : D_fct(text, eq) {}

  virtual T get_value() { return value_.load(); }
  // Store a value with the current time as stamp.
  virtual void set_value(T v) { set_value(v, 0, 0, 0); }
  virtual void set_value(T v, time_t stamp) { set_value(v, stamp, 0, 0); }
  // The full form: value, time stamp (0: now), event id, archive status.
  virtual void set_value(T v, time_t stamp, int event, int status);
  virtual T value(uint64_t event, time_t stamp, int status);
  virtual T value() { return value_.load(); }

  int data_type() const override { return DATA_INT; }
  void get(EqAdr* adr, EqData* in, EqData* out, EqFct* eq) override;
  // Converts the client's value and ends by calling the virtual set_value.
  void set(EqAdr* adr, EqData* in, EqData* out, EqFct* eq) override;
  void read() override;
  void write(std::ostream& out) override;

  time_t stamp() const { return stamp_.load(); }
  int event() const { return event_.load(); }

 private:
  std::atomic<T> value_{};
  std::atomic<time_t> stamp_{0};
  std::atomic<int> event_{0};
  std::atomic<int> status_{0};
};

extern template class D_value<int>;

// One log line: time stamp, origin, text. level is the message class mask.
void printtostderr(const std::string& origin, const std::string& text, uint32_t level);

}  // namespace telvo

using D_int = telvo::D_value<int>;

// Integer property whose value lives in an int reached through a pointer.
// Reading or writing before storage is bound reads 0 and stores nothing.
class D_int_ptr : public D_fct {
 public:
  D_int_ptr(const std::string& text, int* p, EqFct* eq);

  virtual void set_ptr(int* p);
  virtual int* get_ptr();
  virtual void set_value(int v);
  virtual int get_value();
  virtual int value();

  int data_type() const override { return DATA_INT; }
  void get(EqAdr* adr, EqData* in, EqData* out, EqFct* eq) override;
  void set(EqAdr* adr, EqData* in, EqData* out, EqFct* eq) override;
  void read() override;
  void write(std::ostream& out) override;

 private:
  std::atomic<int*> ptr_;
};

// Text property, keeping its text either itself or in a caller's buffer of a
// given size, into which it never writes more than size - 1 characters and a
// terminating NUL.
class D_string : public D_fct {
 public:
  D_string(const std::string& text, EqFct* eq);
  D_string(const std::string& text, char* buf, u_short size, EqFct* eq);

  virtual void set_value(const std::string& v);
  virtual void set_value(const std::string& v, time_t stamp);
  // Make the given text the current value (cut to what the storage holds).
  virtual void copy_value(const std::string& v);
  virtual std::string get_value();
  virtual std::string value();
  // The longest text the property keeps.
  virtual int length();
  // Change the longest text kept; a bound buffer cannot grow past its size.
  virtual void set_length(int len);

  int data_type() const override { return DATA_STRING; }
  void get(EqAdr* adr, EqData* in, EqData* out, EqFct* eq) override;
  void set(EqAdr* adr, EqData* in, EqData* out, EqFct* eq) override;
  void read() override;
  void write(std::ostream& out) override;

 private:
  void store(const std::string& v);

  std::mutex mx_;
  std::string own_;
  char* buf_ = nullptr;
  int size_ = 0;     // bound buffer size (0: own storage)
  int max_len_ = 0;  // longest text kept
  time_t stamp_ = 0;
};

// Property holding an IIII record.
class D_iiii : public D_fct {
 public:
  D_iiii(const std::string& text, EqFct* eq);

  // The current record. The pointer refers to a copy that belongs to the
  // calling thread and stays valid until that thread's next value() call;
  // change the record with set_value.
  virtual IIII* value();
  virtual void set_value(const IIII& v);

  int data_type() const override { return DATA_IIII; }
  void get(EqAdr* adr, EqData* in, EqData* out, EqFct* eq) override;
  void set(EqAdr* adr, EqData* in, EqData* out, EqFct* eq) override;
  void read() override;
  void write(std::ostream& out) override;

 private:
  std::mutex mx_;
  IIII v_;
};

// Loading and saving several equipment functions of one server in one file.
// The file holds one section per equipment function:
//   eq_fct: NAME
//   PROPERTY:<the value text that the property's write() produces>
// Lines that are empty or start with '#' are comments.
int telvo_load_config(const std::string& path, const std::vector<EqFct*>& eqs,
                      std::string* error = nullptr);
int telvo_save_config(const std::string& path, const std::vector<EqFct*>& eqs,
                      std::string* error = nullptr);

// Block the calling thread s seconds plus us microseconds of framework time.
void TELVOsleep(int s, int us);
// Current framework time in whole seconds since the Unix epoch.
long TELVOtime();
// Current framework time in milliseconds since the Unix epoch. Beyond the
// calls every framework has: libVORBEL uses it where it is present (for
// heartbeat time-outs) and the system clock where it is not.
long long TELVOtime_ms();
// The same in microseconds (libVORBEL's SYNC producer schedules by it where
// it is present, else by the system clock).
long long TELVOtime_us();
// Global debug mask; bit 0x100000 prints received CAN frames.
extern std::atomic<unsigned long> TELVO_debug;

#endif  // TELVO_H
