// Node ids beyond the CANopen range, as a client may set them and device
// code may pass them: the identifiers made from them go to the driver, which
// refuses them, and nothing overflows on the way there (the sanitizer
// builds stop at a signed overflow).
#include <gtest/gtest.h>

#include <climits>

#include "bus_fixture.h"

using ntcan_sim::make_frame;
using testsupport::BusTest;

TEST_F(BusTest, ANodeIdBeyondEveryIdentifierIsRefusedByTheDriver) {
  auto node = node_on(1, 5, "HUGE");
  ASSERT_EQ(node->init(0x585), 0);
  EqData in;
  in.set(IIII{1, INT_MAX, 0, 0});
  ASSERT_EQ(eq_.client_set("HUGE", in), 0);
  ASSERT_EQ(node->init(0x57F), 0);

  EXPECT_EQ(node->rtr(), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(node->can_SDO(0x1008, 0), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(node->init_emergency(), 0) << "a negative identifier is not enabled";

  // No frame on the bus carries the identifiers of such a node.
  CMSG batch[2] = {make_frame(0x7F, {1, 2}), make_frame(0x6FF, {5})};
  int n = 2;
  EXPECT_EQ(node->can_emergency(INT_MAX, batch, &n), 0);
  EXPECT_EQ(node->alive_->check_alive(INT_MAX, batch, &n), 0);

  // A segmented upload: the node argument is the id's low 16 bits (-1), the
  // segment requests carry the full id.
  const int device = ntcan_sim::attach(0, "node", [](const ntcan_sim::BusFrame& f) {
    if (f.msg.id == 0x5FF) ntcan_sim::inject(0, make_frame(0x57F, {0x41, 0x08, 0x10, 0x00, 9, 0, 0, 0}), "node");
  });
  char buf[64] = {};
  EXPECT_EQ(node->segSdoRead(-1, 0x1008, 0, buf), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(log_->texts("segSdoRead"), std::vector<std::string>{"--Error: requestSegment failed with error 22"});
  ntcan_sim::detach(device);
}
