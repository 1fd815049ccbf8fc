// A node's error history read into decoded entries and cleared, through its
// SDO client, on the simulated device whose emergencies fill it.
#include <gtest/gtest.h>

#include "device_fixture.h"

namespace {

using vorbel::ErrorHistoryEntry;

std::vector<std::pair<uint16_t, uint16_t>> pairs(const std::vector<ErrorHistoryEntry>& entries) {
  std::vector<std::pair<uint16_t, uint16_t>> out;
  for (const ErrorHistoryEntry& e : entries) out.emplace_back(e.error_code, e.additional_info);
  return out;
}

}  // namespace

TEST_F(DeviceTest, ThreeEmergenciesAreReadBackNewestFirstAndTheHistoryIsThenCleared) {
  device_->send_emergency(0x3210, 0x04, {0x12, 0x34});
  device_->send_emergency(0x8130, 0x10);
  device_->send_emergency(0xFF01, 0x80, {0xCD, 0xAB});
  std::vector<ErrorHistoryEntry> entries{{1, 1}};
  ASSERT_EQ(vorbel::read_error_history(*node_, &entries), 0);
  EXPECT_EQ(pairs(entries), (std::vector<std::pair<uint16_t, uint16_t>>{{0xFF01, 0xABCD}, {0x8130, 0}, {0x3210, 0x3412}}));
  EXPECT_STREQ(vorbel::emergency_code_text(entries[1].error_code), "life guard error or heartbeat error");

  ASSERT_EQ(vorbel::clear_error_history(*node_), 0);
  EXPECT_EQ(frames(), (std::vector<std::string>{
                          "-> 605: 40 03 10 00 00 00 00 00", "<- 585: 4F 03 10 00 03 00 00 00",
                          "-> 605: 40 03 10 01 00 00 00 00", "<- 585: 43 03 10 01 01 FF CD AB",
                          "-> 605: 40 03 10 02 00 00 00 00", "<- 585: 43 03 10 02 30 81 00 00",
                          "-> 605: 40 03 10 03 00 00 00 00", "<- 585: 43 03 10 03 10 32 12 34",
                          "-> 605: 2F 03 10 00 00 00 00 00", "<- 585: 60 03 10 00 00 00 00 00",
                      }));
  ASSERT_EQ(vorbel::read_error_history(*node_, &entries), 0);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(frames().size(), 2u) << "an empty history is one upload";
}

TEST_F(DeviceTest, AHistoryThatCannotBeReadEndsWithTheAbortAndKeepsTheEntriesReadBeforeIt) {
  device_->send_emergency(0x1000, 0);
  device_->send_emergency(0x2000, 0);
  device_->set_object(0x1003, 0, std::string(1, '\3'));  // one more than it has
  std::vector<ErrorHistoryEntry> entries;
  EXPECT_EQ(vorbel::read_error_history(*node_, &entries), -1);
  EXPECT_EQ(pairs(entries), (std::vector<std::pair<uint16_t, uint16_t>>{{0x2000, 0}, {0x1000, 0}}));
  EXPECT_STREQ(sdo_abort_text(node_->sdo_abort_code()), "sub-index does not exist");

  for (int sub : {0, 1, 2}) device_->remove_object(0x1003, static_cast<uint8_t>(sub));
  EXPECT_EQ(vorbel::read_error_history(*node_, &entries), -1);
  EXPECT_EQ(node_->sdo_abort_code(), 0x06020000u);
  EXPECT_EQ(vorbel::clear_error_history(*node_), -1);
  EXPECT_EQ(vorbel::read_error_history(*node_, nullptr), NTCAN_INVALID_PARAMETER);
}
