// PDO mappings from a node's object dictionary: an entry's place in the
// dictionary and its data type give the mapping entry.
#include <cstdio>

#include "vorbel_od.h"
#include "vorbel_pdo.h"

namespace vorbel {

namespace {

using od::DataType;

// The bits and type with which an entry of `data_type` goes into a PDO;
// false for a type that does not go in as a number.
bool pdo_form(uint16_t data_type, int* bits, PdoType* type) {
  switch (static_cast<DataType>(data_type)) {
    case DataType::Boolean:
      *bits = 1;
      *type = PdoType::Unsigned;
      return true;
    case DataType::Real32:
      *bits = 32;
      *type = PdoType::Real32;
      return true;
    case DataType::Real64:
      *bits = 64;
      *type = PdoType::Real64;
      return true;
    case DataType::Integer8: case DataType::Integer16: case DataType::Integer24: case DataType::Integer32:
    case DataType::Integer40: case DataType::Integer48: case DataType::Integer56: case DataType::Integer64:
      *bits = 8 * od::type_size(data_type);
      *type = PdoType::Signed;
      return true;
    case DataType::Unsigned8: case DataType::Unsigned16: case DataType::Unsigned24: case DataType::Unsigned32:
    case DataType::Unsigned40: case DataType::Unsigned48: case DataType::Unsigned56: case DataType::Unsigned64:
      *bits = 8 * od::type_size(data_type);
      *type = PdoType::Unsigned;
      return true;
    default:
      return false;
  }
}

std::string type_text(uint16_t data_type) {
  if (const char* name = od::type_name(data_type)) return name;
  char code[32];
  std::snprintf(code, sizeof code, "DataType 0x%04X", static_cast<unsigned>(data_type));
  return code;
}

int refuse(std::string* why, const std::string& text) {
  if (why) *why = text;
  return NTCAN_INVALID_PARAMETER;
}

}  // namespace

int PdoMapping::add(const od::Dictionary& dictionary, const std::string& name, std::string* why) {
  std::string missing;
  const od::Entry* e = dictionary.entry(name, &missing);
  if (!e) return refuse(why, missing);
  if (!e->pdo_mapping) return refuse(why, "\"" + e->name + "\" cannot be mapped into a PDO (PDOMapping=0)");
  int bits = 0;
  PdoType type = PdoType::Unsigned;
  if (!pdo_form(e->data_type, &bits, &type))
    return refuse(why, "\"" + e->name + "\" is a " + type_text(e->data_type) + ", not a number a PDO carries");
  if (add(e->index, e->subindex, bits, type) != 0)
    return refuse(why, "\"" + e->name + "\" (" + std::to_string(bits) + " bits) does not fit: the mapping has " +
                           std::to_string(bits_) + " of its 64 bits");
  if (why) why->clear();
  return 0;
}

int PdoMapping::set_types(const od::Dictionary& dictionary) {
  int result = 0;
  for (int i = 0; i < count_; ++i) {
    PdoEntry& m = entries_[static_cast<std::size_t>(i)];
    const od::Entry* e = dictionary.entry(m.index, m.subindex);
    int bits = 0;
    PdoType type = PdoType::Unsigned;
    if (!e || !pdo_form(e->data_type, &bits, &type)) {
      result = NTCAN_INVALID_PARAMETER;
      continue;
    }
    // A real's bits mean nothing in part: a shorter entry of one stays raw.
    if ((type == PdoType::Real32 || type == PdoType::Real64) && m.bits != bits) type = PdoType::Unsigned;
    m.type = type;
  }
  return result;
}

}  // namespace vorbel
