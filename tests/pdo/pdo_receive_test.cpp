// A node's transmit PDOs bound to their mappings: the server loop's fills
// decode them, also those an SDO transfer took first, and any thread reads
// the latest values.
#include <gtest/gtest.h>

#include "pdo_fixture.h"

TEST_F(PdoTest, ABoundTransmitPdoIsDecodedByEveryFillAlsoThroughAnSdoTransferAndUntilItIsUnbound) {
  const vorbel::PdoConfig t = tpdo(1, {position_, velocity_}, 1);  // at every SYNC
  ASSERT_EQ(vorbel::pdo_write(*node_, t), 0);
  ASSERT_EQ(node_->bind_tpdo(0x185, t.mapping), 0);
  ASSERT_EQ(node_->start_node(), 0);
  const unsigned char target[4] = {25, 0, 0, 0};
  ASSERT_EQ(node_->sdo_download(0x60FF, 0, target, 4), 0);
  std::shared_ptr<const vorbel::PdoReceiver> r = node_->tpdo(0x185);
  ASSERT_TRUE(r);

  sync();
  can_looping();
  EXPECT_EQ(r->decoded(), 1u);
  EXPECT_EQ(r->value(0).as_signed(), device_int(0x6064));
  EXPECT_EQ(r->value(1).as_signed(), 25);

  // The PDO of this SYNC reaches the handle before the upload, which takes
  // it and keeps it for the next fill; the batch still shows it.
  sync();
  unsigned char buf[4];
  int len = 0;
  ASSERT_EQ(node_->sdo_upload(0x6064, 0, buf, 4, &len), 0);
  can_looping();
  EXPECT_EQ(r->decoded(), 2u);
  EXPECT_EQ(r->value(0).as_signed(), 50);
  CMSG batch[100];
  int count = 0;
  ASSERT_EQ(node_->can_array(batch, &count), 0);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(batch[0].id, 0x185);

  // A frame of another length is counted, not decoded.
  ntcan_sim::inject(0, ntcan_sim::make_frame(0x185, {1, 2, 3}));
  can_looping();
  EXPECT_EQ(r->length_mismatches(), 1u);
  EXPECT_EQ(r->value(0).as_signed(), 50);

  ASSERT_EQ(node_->unbind_tpdo(0x185), 0);
  EXPECT_FALSE(node_->tpdo(0x185));
  sync();
  can_looping();
  EXPECT_EQ(r->decoded(), 2u) << "unbound";
  EXPECT_EQ(node_->unbind_tpdo(0x185), -1);
  EXPECT_EQ(node_->bind_tpdo(0x800, t.mapping), NTCAN_INVALID_PARAMETER);
}
