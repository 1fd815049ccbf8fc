// Typed access to a node's entries: values checked against the dictionary
// before anything is sent, converted to and from their bytes on the bus,
// moved by the node's SDO client.
#include <vector>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "od/od_values.h"

namespace vorbel {
namespace od {

namespace {

constexpr const char* kOrigin = "NodeDictionary";

std::string index_text(int index, int subindex) {
  char at[32];
  std::snprintf(at, sizeof at, "0x%04X/%d", index, subindex);
  return at;
}

std::string entry_text(const Entry& e) {
  return "'" + (e.object_name != e.name ? e.object_name + "." : std::string()) + e.name + "' (" +
         index_text(e.index, e.subindex) + ")";
}

int refuse(const std::string& text) {
  log(kOrigin, text);
  return NTCAN_INVALID_PARAMETER;
}

}  // namespace

NodeDictionary::NodeDictionary(D_can& node, std::shared_ptr<const Dictionary> dictionary)
    : node_(node), dictionary_(dictionary ? std::move(dictionary) : std::make_shared<const Dictionary>()) {}

int NodeDictionary::node_id() const { return node_.value()->i2_data; }

int NodeDictionary::read(const std::string& name, Value* value) {
  std::string why;
  const Entry* e = dictionary_->entry(name, &why);
  if (!e) return refuse("read: " + why + " in " + dictionary_->file() + ": not sent");
  return read_entry(e, value);
}

int NodeDictionary::read(int index, int subindex, Value* value) {
  const Entry* e = index >= 0 && index <= 0xFFFF && subindex >= 0 && subindex <= 0xFF
                       ? dictionary_->entry(static_cast<uint16_t>(index), static_cast<uint8_t>(subindex))
                       : nullptr;
  if (!e) return refuse("read: no entry " + index_text(index, subindex) + " in " + dictionary_->file() + ": not sent");
  return read_entry(e, value);
}

int NodeDictionary::write(const std::string& name, const Value& value) {
  std::string why;
  const Entry* e = dictionary_->entry(name, &why);
  if (!e) return refuse("write: " + why + " in " + dictionary_->file() + ": not sent");
  return write_entry(e, value);
}

int NodeDictionary::write(int index, int subindex, const Value& value) {
  const Entry* e = index >= 0 && index <= 0xFFFF && subindex >= 0 && subindex <= 0xFF
                       ? dictionary_->entry(static_cast<uint16_t>(index), static_cast<uint8_t>(subindex))
                       : nullptr;
  if (!e) return refuse("write: no entry " + index_text(index, subindex) + " in " + dictionary_->file() + ": not sent");
  return write_entry(e, value);
}

int NodeDictionary::read_entry(const Entry* e, Value* value) {
  if (!value) return NTCAN_INVALID_PARAMETER;
  if (!e->is_readable()) return refuse("read of " + entry_text(*e) + ": the entry is write-only: not sent");
  const int size = type_size(e->data_type);
  // Numbers fit on the stack; strings and domains take what the node has, up
  // to the largest read allowed.
  std::vector<unsigned char> buffer(static_cast<std::size_t>(size > 0 ? 8 : max_read_bytes_));
  int len = 0;
  const int ret = node_.sdo_upload(e->index, e->subindex, buffer.data(), static_cast<int>(buffer.size()), &len);
  if (ret != 0) return ret;
  std::string why;
  if (!decode(*e, std::string(buffer.begin(), buffer.begin() + len), value, &why)) {
    log(kOrigin, "read of " + entry_text(*e) + ": the node answered " + why);
    return -1;
  }
  return 0;
}

int NodeDictionary::write_entry(const Entry* e, const Value& value) {
  if (!e->is_writable()) {
    return refuse("write of " + entry_text(*e) + ": the entry is " + access_name(e->access) + ": not sent");
  }
  // The node's address is read only for limits that depend on it.
  const int id = e->low_limit.node_ids || e->high_limit.node_ids ? node_id() : 0;
  std::string bytes, why;
  if (!encode(*e, value, id, &bytes, &why)) {
    const Fit f = fit(*e, value, id);
    if (f == Fit::WrongKind) return refuse("write of " + entry_text(*e) + ": " + why + ": not sent");
    return refuse("write of " + entry_text(*e) + ": " + value.to_string() + (f == Fit::TooLow ? " is below " : " is above ") +
                  why + ": not sent");
  }
  if (bytes.empty()) return refuse("write of " + entry_text(*e) + ": an empty value: not sent");
  return node_.sdo_download(e->index, e->subindex, reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
}

}  // namespace od
}  // namespace vorbel
