// canopen_device_dictionary.h - a simulated CANopen node whose object
// dictionary comes from an electronic data sheet (EDS or DCF), read by
// libVORBEL's reader (vorbel_od.h).
//
//   auto eds = vorbel::od::load_file("drive.eds");
//   canopen_sim::Device node(0, 5);
//   canopen_sim::load_dictionary(node, *eds.dictionary);
//
// Every entry of the file becomes an entry of the device:
//   value   the entry's ParameterValue (a DCF's), else its DefaultValue,
//           $NODEID terms taken as the device's node id; an entry without
//           either holds zeros of its type's size (an empty string);
//   access  ro and const: downloads refused with kAbortReadOnly; wo: uploads
//           refused with kAbortWriteOnly; rw, rwr, rww: both served;
//   length  numbers must be downloaded with exactly their type's size
//           (kAbortLengthMismatch); strings and domains take any length and
//           go segmented above 4 bytes;
//   limits  a downloaded number below LowLimit (or the type's range) is
//           refused with kAbortValueTooLow, above HighLimit with
//           kAbortValueTooHigh, a value that is none of its type (a
//           UNICODE_STRING that is no UTF-16) with kAbortValueRange.
// An object of the file replaces the built-in entries of its index (all
// of its subindexes); the built-in entries of other indexes stay. Entries
// of a type the reader does not know are left out and listed.
#ifndef CANOPEN_DEVICE_DICTIONARY_H
#define CANOPEN_DEVICE_DICTIONARY_H

#include <string>
#include <vector>

#include "canopen_device.h"
#include "vorbel_od.h"

namespace canopen_sim {

struct DictionaryLoad {
  int defined = 0;                   // entries put on the device
  std::vector<std::string> skipped;  // "0x2020sub0: DataType 0x0040 unknown"
};

DictionaryLoad load_dictionary(Device& device, const vorbel::od::Dictionary& dictionary);

// The bytes a device built from the dictionary holds for `e` at first: its
// start value at `node_id`, or zeros (an empty string) when it has none.
// False for an entry of unknown type.
bool start_bytes(const vorbel::od::Entry& e, int node_id, std::string* bytes);

}  // namespace canopen_sim

#endif  // CANOPEN_DEVICE_DICTIONARY_H
