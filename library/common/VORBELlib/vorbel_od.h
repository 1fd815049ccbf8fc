// vorbel_od.h - a CANopen node's object dictionary from its electronic data
// sheet (EDS, or DCF for a configured device), and typed access to its
// entries through a D_can node.
//
// One load reads the file in one pass and builds an immutable Dictionary,
// shared (std::shared_ptr<const Dictionary>) by every node of the same
// product. The reader forgives what real tools write: sections and keys in
// any case, numbers in decimal, hexadecimal (0x) or octal (leading 0),
// $NODEID expressions, keys it does not know (kept with their entry).
// What is inconsistent (an undefined DataType, a LowLimit above its
// HighLimit, a default outside its limits, a sub-index beyond SubNumber, a
// duplicate section) is a warning naming file and line, and the file still
// loads; only a file that cannot be read (missing, a malformed section
// header, no object at all) is an error, and then there is no dictionary.
//
//   auto eds = vorbel::od::load_file("drive.eds");     // eds.warnings, eds.errors
//   vorbel::od::NodeDictionary od(motor, eds.dictionary);
//   vorbel::od::Value hb;
//   int ret = od.read("Producer heartbeat time", &hb);  // hb.as_unsigned()
//   ret = od.write("Producer heartbeat time", 500);     // 22: refused before sending
//
// Threads: a Dictionary is immutable and may be read from any number of
// threads; so may a NodeDictionary (its reads and writes are SDO transfers
// of its node, serialised per node by the SDO client). Value is a plain
// value type.
#ifndef VORBEL_OD_H
#define VORBEL_OD_H

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class D_can;

namespace vorbel {
namespace od {

// DataType codes of the basic types.
enum class DataType : uint16_t {
  Boolean = 0x01,
  Integer8 = 0x02,
  Integer16 = 0x03,
  Integer32 = 0x04,
  Unsigned8 = 0x05,
  Unsigned16 = 0x06,
  Unsigned32 = 0x07,
  Real32 = 0x08,
  VisibleString = 0x09,
  OctetString = 0x0A,
  UnicodeString = 0x0B,  // UTF-16LE on the bus, UTF-8 in a Value
  TimeOfDay = 0x0C,      // 6 bytes; as a Value: milliseconds since 1984-01-01
  TimeDifference = 0x0D, // 6 bytes; as a Value: milliseconds
  Domain = 0x0F,
  Integer24 = 0x10,
  Real64 = 0x11,
  Integer40 = 0x12,
  Integer48 = 0x13,
  Integer56 = 0x14,
  Integer64 = 0x15,
  Unsigned24 = 0x16,
  Unsigned40 = 0x18,
  Unsigned48 = 0x19,
  Unsigned56 = 0x1A,
  Unsigned64 = 0x1B,
};

// "UNSIGNED16" for 0x0006; null for a code that is no basic type.
const char* type_name(uint16_t data_type);
// Bytes of a value on the bus: 1..8 for numbers, 6 for the time types, 0 for
// strings and domains (any length), -1 for a code that is no basic type.
int type_size(uint16_t data_type);

enum class ObjectType : uint8_t {
  Null = 0x0,
  Domain = 0x2,
  DefType = 0x5,
  DefStruct = 0x6,
  Var = 0x7,
  Array = 0x8,
  Record = 0x9,
};

enum class Access : uint8_t {
  ReadOnly,        // ro
  WriteOnly,       // wo
  ReadWrite,       // rw
  ReadWriteRead,   // rwr: read and write, mapped into transmit PDOs
  ReadWriteWrite,  // rww: read and write, mapped into receive PDOs
  Const,           // const
};
bool readable(Access a);
bool writable(Access a);
const char* access_name(Access a);  // "ro", "wo", "rw", "rwr", "rww", "const"

// A value of an entry: an integer (signed or unsigned), a real, a text or a
// byte string. Integral arguments make integers of their signedness.
class Value {
 public:
  enum class Kind { None, Integer, Unsigned, Real, Text, Bytes };

  Value() = default;
  template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
  Value(T v) {  // NOLINT: implicit on purpose, od.write("...", 500)
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Integer;
      i_ = v;
    } else {
      kind_ = Kind::Unsigned;
      u_ = v;
    }
  }
  Value(double v) : kind_(Kind::Real), r_(v) {}
  Value(std::string text) : kind_(Kind::Text), s_(std::move(text)) {}
  Value(const char* text) : kind_(Kind::Text), s_(text ? text : "") {}
  static Value bytes(std::string b);

  Kind kind() const { return kind_; }
  bool empty() const { return kind_ == Kind::None; }
  bool is_number() const { return kind_ == Kind::Integer || kind_ == Kind::Unsigned || kind_ == Kind::Real; }
  // Numbers converted to the asked form (a real truncated toward zero,
  // out-of-range values saturated); 0 for a text or nothing.
  int64_t as_integer() const;
  uint64_t as_unsigned() const;
  double as_real() const;
  // The text or the bytes; empty for a number.
  const std::string& as_text() const { return s_; }
  // For logs and displays: "-5", "4000", "1.25", the text, bytes as hex
  // pairs ("41 42"), "(none)".
  std::string to_string() const;

  // Same kind and value (reals compared exactly).
  bool operator==(const Value& o) const;
  bool operator!=(const Value& o) const { return !(*this == o); }

 private:
  Kind kind_ = Kind::None;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double r_ = 0;
  std::string s_;
};

// DefaultValue, LowLimit, HighLimit or ParameterValue as the file states it:
// the text, and the value it stands for apart from its $NODEID terms.
struct Setting {
  bool present = false;
  std::string text;  // as written
  Value value;       // empty when the text could not be read for the type
  int node_ids = 0;  // $NODEID terms added in the text ($NODEID+0x200: 1)

  // The value for a node: each $NODEID term added as `node_id`.
  Value at(int node_id) const;
};

// One entry: a VAR object (subindex 0) or one sub-object of an ARRAY or
// RECORD.
struct Entry {
  uint16_t index = 0;
  uint8_t subindex = 0;
  std::string name;        // ParameterName
  std::string object_name; // the object's ParameterName (the entry's own for a VAR)
  uint16_t data_type = 0;  // DataType code; 0 when the file gives none
  Access access = Access::ReadWrite;
  bool pdo_mapping = false;
  Setting default_value, low_limit, high_limit, parameter_value;
  std::vector<std::pair<std::string, std::string>> other_keys;  // keys the reader does not interpret
  int line = 0;  // the line of its section (0 for entries made from CompactSubObj)

  bool is_readable() const { return readable(access); }
  bool is_writable() const { return writable(access); }
  bool known_type() const { return type_size(data_type) >= 0; }
  // The value the entry starts with: ParameterValue (a DCF's configured
  // value) when present, else DefaultValue.
  const Setting& start_value() const { return parameter_value.present ? parameter_value : default_value; }
};

struct Object {
  uint16_t index = 0;
  std::string name;
  ObjectType type = ObjectType::Var;
  int sub_number = -1;          // SubNumber, -1 when absent
  int compact_sub_objects = 0;  // CompactSubObj
  uint16_t data_type = 0;
  std::vector<Entry> entries;   // in subindex order; a VAR has one, subindex 0
  std::vector<std::pair<std::string, std::string>> other_keys;
  int line = 0;

  const Entry* entry(uint8_t subindex) const;
};

// A warning or error: "drive.eds:41: DataType 0x0040 is not a basic type".
struct Diagnostic {
  std::string file;
  int line = 0;  // 0: the file as a whole
  std::string text;
  std::string to_string() const;
};

class Dictionary {
 public:
  // The objects in index order.
  const std::vector<Object>& objects() const { return objects_; }
  const Object* object(uint16_t index) const;
  const Entry* entry(uint16_t index, uint8_t subindex) const;
  // By name, case-insensitive: a VAR's ParameterName ("Producer heartbeat
  // time") or the object's and the sub-object's joined by a dot
  // ("Identity.Serial number"). Null when no entry or more than one has the
  // name; *why (when given) then says which.
  const Entry* entry(const std::string& name, std::string* why = nullptr) const;
  // Every entry (VARs and sub-objects).
  std::size_t entry_count() const;
  // A key of a section other than the objects' ([FileInfo], [DeviceInfo],
  // [DummyUsage], [DeviceComissioning], [Comments], and any other); "" when
  // absent. Case-insensitive.
  std::string info(const std::string& section, const std::string& key) const;
  // The file it was read from (the name given to parse()).
  const std::string& file() const { return file_; }

 private:
  friend class Reader;
  std::string file_;
  std::vector<Object> objects_;
  // Other sections: name, then their keys in file order.
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections_;
};

struct LoadResult {
  std::shared_ptr<const Dictionary> dictionary;  // null when the file could not be read
  std::vector<Diagnostic> warnings;
  std::vector<Diagnostic> errors;
  bool ok() const { return dictionary != nullptr; }
};

// Read an EDS or DCF file. Never throws for the file's content.
LoadResult load_file(const std::string& path);
// Read a file's text; `file` names it in diagnostics.
LoadResult parse(const std::string& text, const std::string& file = "(text)");

// How a value fits an entry.
enum class Fit {
  Ok,
  TooLow,    // below the type's range or LowLimit
  TooHigh,   // above the type's range or HighLimit
  WrongKind, // not a value of the entry's type (a text for a number, a
             // real for an integer that is no whole number, a number for a
             // string, or an entry of unknown type)
};
// Whether `v` may be written to `e` on node `node_id` (limits with $NODEID
// terms taken at it); *why (when given) names the limit: "HighLimit 65535".
Fit fit(const Entry& e, const Value& v, int node_id, std::string* why = nullptr);
// The bytes of `v` on the bus for `e` (little-endian numbers, UTF-16LE for a
// UNICODE_STRING); false when it does not fit (see fit()).
bool encode(const Entry& e, const Value& v, int node_id, std::string* bytes, std::string* why = nullptr);
// The value of bytes from the bus for `e`: numbers need at least the type's
// size (further bytes are ignored); strings take every byte. An entry of
// unknown type gives Bytes. False, with *why, when too short.
bool decode(const Entry& e, const std::string& bytes, Value* v, std::string* why = nullptr);

// Typed access to a node's entries through its SDO client (D_can::sdo_upload
// and sdo_download). Results:
//   0    success
//   22   NTCAN_INVALID_PARAMETER, refused before anything was sent: no such
//        entry (or a name that several entries share), a read of a
//        write-only entry, a write to a read-only or const entry, a value
//        outside the entry's type or limits, a value of another kind, an
//        empty value; one log line under "NodeDictionary" names the entry
//        and the limit or reason
//   -1   the transfer failed (time-out, abort: D_can::sdo_abort_code() tells
//        the node's abort code as for sdo_upload), or the node answered
//        fewer bytes than the entry's type has (logged)
//   other  as D_can::sdo_upload / sdo_download (77: the handle is not usable)
// $NODEID terms of limits are taken at the node's id, read from its address
// (value()) only for such limits: device code that lets clients move the
// node writes those entries as it reads value(), under the equipment
// function's lock.
class NodeDictionary {
 public:
  NodeDictionary(D_can& node, std::shared_ptr<const Dictionary> dictionary);

  int read(const std::string& name, Value* value);
  int read(int index, int subindex, Value* value);
  int write(const std::string& name, const Value& value);
  int write(int index, int subindex, const Value& value);

  const Dictionary& dictionary() const { return *dictionary_; }
  D_can& node() const { return node_; }
  // The largest string or domain a read takes (default 4096 bytes); a longer
  // one fails with -1 (the client's abort 0x05040005).
  void max_read_bytes(int n) { max_read_bytes_ = n > 0 ? n : 4096; }

 private:
  int read_entry(const Entry* e, Value* value);
  int write_entry(const Entry* e, const Value& value);
  int node_id() const;

  D_can& node_;
  std::shared_ptr<const Dictionary> dictionary_;
  int max_read_bytes_ = 4096;
};

}  // namespace od
}  // namespace vorbel

#endif  // VORBEL_OD_H
