// A simulated device's object dictionary from an electronic data sheet.
#include "canopen_device_dictionary.h"

#include <cstdio>

namespace canopen_sim {

namespace od = vorbel::od;

bool start_bytes(const od::Entry& e, int node_id, std::string* bytes) {
  const int size = od::type_size(e.data_type);
  if (size < 0) return false;
  // The file's own value is served even where it breaks the file's limits
  // (the reader warned about that).
  od::Entry unlimited = e;
  unlimited.low_limit = unlimited.high_limit = od::Setting{};
  const od::Setting& start = e.start_value();
  if (start.present && !start.value.empty() && od::encode(unlimited, start.at(node_id), node_id, bytes)) return true;
  bytes->assign(static_cast<std::size_t>(size), '\0');
  return true;
}

DictionaryLoad load_dictionary(Device& device, const od::Dictionary& dictionary) {
  DictionaryLoad load;
  const int node_id = device.node_id();
  for (const od::Object& o : dictionary.objects()) {
    for (int sub = 0; sub <= 0xFF; ++sub) device.remove_object(o.index, static_cast<uint8_t>(sub));
    for (const od::Entry& e : o.entries) {
      std::string bytes;
      if (!start_bytes(e, node_id, &bytes)) {
        char what[64];
        std::snprintf(what, sizeof what, "0x%04Xsub%u: DataType 0x%04X unknown", e.index,
                      static_cast<unsigned>(e.subindex), e.data_type);
        load.skipped.emplace_back(what);
        continue;
      }
      const Access access = !e.is_writable() ? Access::ReadOnly : !e.is_readable() ? Access::WriteOnly : Access::ReadWrite;
      ValueCheck check = [e, node_id](const std::string& value) -> uint32_t {
        od::Value v;
        if (!od::decode(e, value, &v)) return kAbortValueRange;
        switch (od::fit(e, v, node_id)) {
          case od::Fit::Ok: return 0;
          case od::Fit::TooLow: return kAbortValueTooLow;
          case od::Fit::TooHigh: return kAbortValueTooHigh;
          default: return kAbortValueRange;
        }
      };
      device.define_object(e.index, e.subindex, std::move(bytes), access, od::type_size(e.data_type) > 0,
                           std::move(check));
      ++load.defined;
    }
  }
  return load;
}

}  // namespace canopen_sim
