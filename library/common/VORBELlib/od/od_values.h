// Values of dictionary entries: the type table and the number reader that
// the data-sheet reader and the value checks share. Internal to the library.
#ifndef VORBEL_OD_VALUES_H
#define VORBEL_OD_VALUES_H

#include <string>

#include "vorbel_od.h"

namespace vorbel {
namespace od {

// Wide enough for every integer of every type and their sums with $NODEID.
__extension__ typedef __int128 Wide;

enum class TypeClass { Unknown, Signed, Unsigned, Boolean, Time, Real, Visible, Unicode, Octet, Domain };

struct TypeInfo {
  TypeClass cls = TypeClass::Unknown;
  const char* name = nullptr;
  int size = -1;  // bytes on the bus; 0 for any length
};
TypeInfo type_info(uint16_t data_type);

// Whether the type's values are integers (Signed, Unsigned, Boolean, Time).
inline bool integral(TypeClass c) {
  return c == TypeClass::Signed || c == TypeClass::Unsigned || c == TypeClass::Boolean || c == TypeClass::Time;
}

// The range of an integral type.
Wide type_min(uint16_t data_type);
Wide type_max(uint16_t data_type);

// Read a DefaultValue, limit or ParameterValue written for `data_type`:
// numbers in decimal, hexadecimal (0x) or octal (leading 0), for integers
// also sums and differences with $NODEID terms; a hexadecimal or octal
// literal of a signed type that does not fit its positive range is the
// type's bit pattern (0xFFFFFFFF is -1 for an INTEGER32). Strings take the
// text as it is. False, with *why, when the text is no value of the type
// (the range is checked by the caller).
bool read_setting(const std::string& text, uint16_t data_type, Setting* out, std::string* why);

// An integer value as a Value of the type's kind (Integer for Signed,
// Unsigned otherwise).
Value integer_value(uint16_t data_type, Wide w);
// A number as a Wide when it is a whole number; false otherwise.
bool whole(const Value& v, Wide* w);

// Decimal text of a wide integer.
std::string wide_text(Wide w);

}  // namespace od
}  // namespace vorbel

#endif  // VORBEL_OD_VALUES_H
