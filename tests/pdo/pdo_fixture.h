// PUMP (line 1, node id 5) and the simulated device with node id 5, with
// helpers for PDOs: configurations, SYNC frames and the PDO frames of the
// trace.
#ifndef VORBEL_PDO_FIXTURE_H
#define VORBEL_PDO_FIXTURE_H

#include <string>
#include <vector>

#include "device_fixture.h"

class PdoTest : public DeviceTest {
 protected:
  using Frames = std::vector<std::string>;

  static vorbel::PdoConfig pdo(vorbel::PdoKind kind, int number, std::vector<vorbel::PdoEntry> entries,
                               int type = 255) {
    vorbel::PdoConfig c;
    c.kind = kind;
    c.number = number;
    c.comm.cob_id = vorbel::pdo_default_cob_id(kind, number, 5);
    c.comm.transmission_type = static_cast<uint8_t>(type);
    for (const auto& e : entries) EXPECT_EQ(c.mapping.add(e), 0);
    return c;
  }
  static vorbel::PdoConfig tpdo(int number, std::vector<vorbel::PdoEntry> entries, int type = 255) {
    return pdo(vorbel::PdoKind::Transmit, number, std::move(entries), type);
  }
  static vorbel::PdoConfig rpdo(int number, std::vector<vorbel::PdoEntry> entries, int type = 255) {
    return pdo(vorbel::PdoKind::Receive, number, std::move(entries), type);
  }
  // A SYNC with a counter byte (none for counter 0).
  void sync(int counter = 0) {
    unsigned char c[1] = {static_cast<unsigned char>(counter)};
    ASSERT_EQ(node_->can_write(0x80, counter ? 1 : 0, c), 0);
  }
  // The PDO frames (identifiers 0x180..0x57F) since the last look.
  static Frames pdo_frames() {
    Frames f = testsupport::frame_table(0, [](int32_t id) { return id >= 0x180 && id < 0x580; });
    ntcan_sim::clear_trace();
    return f;
  }
  // The device's 32-bit value of an entry.
  int32_t device_int(uint16_t index, uint8_t subindex = 0) {
    const std::string b = device_->object(index, subindex).value_or("");
    uint32_t v = 0;
    for (size_t i = b.size(); i-- > 0;) v = v << 8 | static_cast<uint8_t>(b[i]);
    return static_cast<int32_t>(v);
  }

  const vorbel::PdoEntry position_{0x6064, 0, 32, vorbel::PdoType::Signed};
  const vorbel::PdoEntry velocity_{0x606C, 0, 32, vorbel::PdoType::Signed};
  const vorbel::PdoEntry target_{0x60FF, 0, 32, vorbel::PdoType::Signed};
  const vorbel::PdoEntry temperature_{0x2400, 0, 16, vorbel::PdoType::Signed};
};

#endif  // VORBEL_PDO_FIXTURE_H
