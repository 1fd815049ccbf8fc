// The texts of SDO abort codes and of the library's own results.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "D_vorbel.h"
#include "canopen_device.h"

TEST(AbortText, EveryAbortCodeOfCanopenHasItsOwnTextAndOthersAreUnknown) {
  const uint32_t codes[] = {0x05030000, 0x05040000, 0x05040001, 0x05040002, 0x05040003, 0x05040004, 0x05040005,
                            0x06010000, 0x06010001, 0x06010002, 0x06020000, 0x06040041, 0x06040042, 0x06040043,
                            0x06040047, 0x06060000, 0x06070010, 0x06070012, 0x06070013, 0x06090011, 0x06090030,
                            0x06090031, 0x06090032, 0x06090036, 0x060A0023, 0x08000000, 0x08000020, 0x08000021,
                            0x08000022, 0x08000023, 0x08000024};
  std::set<std::string> texts{"unknown abort code"};
  for (uint32_t c : codes) texts.insert(sdo_abort_text(c));
  EXPECT_EQ(texts.size(), 1 + sizeof codes / sizeof codes[0]) << "each its own text, none unknown";

  // What the simulated device and the library's client send, by name.
  EXPECT_STREQ(sdo_abort_text(canopen_sim::kAbortNoSuchObject), "object does not exist in the object dictionary");
  EXPECT_STREQ(sdo_abort_text(canopen_sim::kAbortReadOnly), "attempt to write a read only object");
  EXPECT_STREQ(sdo_abort_text(0x05040000), "SDO protocol timed out");
  EXPECT_STREQ(sdo_abort_text(0), "no abort");
  for (uint32_t c : {0x05040006u, 0x06020001u, 0x06090033u, 0x08000025u, 0xFFFFFFFFu, 0x00000001u})
    EXPECT_STREQ(sdo_abort_text(c), "unknown abort code") << std::hex << c;
}

TEST(ResultText, TheLibrarysOwnResultsHaveTheirTextsAndDriverStatusesPointToCanErrorStr) {
  std::set<std::string> texts;
  for (int r : {0, -1, 22, 32, 77, 100, 0x13}) texts.insert(vorbel_result_text(r));
  EXPECT_EQ(texts.size(), 7u) << "each its own, none the text of a driver status";
  EXPECT_STREQ(vorbel_result_text(0), "success");
  EXPECT_STREQ(vorbel_result_text(32), "no matching reply to the poll");
  for (int r : {NTCAN_NET_NOT_FOUND, NTCAN_SOCK_CONN_TIMEOUT, 1, -2})
    EXPECT_STREQ(vorbel_result_text(r), "an NTCAN driver status: see can_error_str") << r;

  // can_error_str keeps its texts.
  EXPECT_EQ(can_error_str(static_cast<unsigned long>(-1L)), "NTCAN_UNKNOWN(0xffffffffffffffff)");
  EXPECT_EQ(can_error_str(0x13), "NTCAN_NET_NOT_FOUND(0x00000013)");
}
