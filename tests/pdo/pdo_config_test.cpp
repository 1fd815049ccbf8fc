// PDO configuration over SDO against the simulated device, read as frame
// tables, and a receive PDO sent by the library.
#include <gtest/gtest.h>

#include <functional>

#include "pdo_fixture.h"

using vorbel::PdoConfig;
using vorbel::PdoKind;
using vorbel::PdoType;

TEST_F(PdoTest, ATransmitPdoIsWrittenInvalidFirstThenItsMappingThenValidAndReadsBackTheSame) {
  const PdoConfig c = tpdo(1, {position_, velocity_}, 1);
  ASSERT_EQ(vorbel::pdo_write(*node_, c), 0);
  EXPECT_EQ(frames(), (Frames{"-> 605: 23 00 18 01 85 01 00 80", "<- 585: 60 00 18 01 00 00 00 00",
                              "-> 605: 2F 00 18 02 01 00 00 00", "<- 585: 60 00 18 02 00 00 00 00",
                              "-> 605: 2B 00 18 03 00 00 00 00", "<- 585: 60 00 18 03 00 00 00 00",
                              "-> 605: 2B 00 18 05 00 00 00 00", "<- 585: 60 00 18 05 00 00 00 00",
                              "-> 605: 2F 00 18 06 00 00 00 00", "<- 585: 60 00 18 06 00 00 00 00",
                              "-> 605: 2F 00 1A 00 00 00 00 00", "<- 585: 60 00 1A 00 00 00 00 00",
                              "-> 605: 23 00 1A 01 20 00 64 60", "<- 585: 60 00 1A 01 00 00 00 00",
                              "-> 605: 23 00 1A 02 20 00 6C 60", "<- 585: 60 00 1A 02 00 00 00 00",
                              "-> 605: 2F 00 1A 00 02 00 00 00", "<- 585: 60 00 1A 00 00 00 00 00",
                              "-> 605: 23 00 18 01 85 01 00 00", "<- 585: 60 00 18 01 00 00 00 00"}));
  PdoConfig back;
  ASSERT_EQ(vorbel::pdo_read(*node_, PdoKind::Transmit, 1, &back), 0);
  EXPECT_EQ(back.mapping[0].type, PdoType::Unsigned) << "a node's mapping holds no types";
  ASSERT_EQ(back.mapping.set_type(0, PdoType::Signed), 0);
  ASSERT_EQ(back.mapping.set_type(1, PdoType::Signed), 0);
  EXPECT_EQ(back, c);
  frames();

  // A receive PDO has no inhibit time or SYNC start; a node without an
  // event timer refuses the 0 written there, which is no failure.
  const PdoConfig r = rpdo(1, {target_});
  ASSERT_EQ(vorbel::pdo_write(*node_, r), 0);
  const Frames f = frames();
  ASSERT_EQ(f.size(), 14u);
  EXPECT_EQ(Frames(f.begin() + 4, f.begin() + 6),
            (Frames{"-> 605: 2B 00 14 05 00 00 00 00", "<- 585: 80 00 14 05 11 00 09 06"}));
  ASSERT_EQ(vorbel::pdo_read(*node_, PdoKind::Receive, 1, &back), 0);
  ASSERT_EQ(back.mapping.set_type(0, PdoType::Signed), 0);
  EXPECT_EQ(back, r);
}

TEST_F(PdoTest, EveryImpossibleParameterFailsWithTheNodesAbortAndLeavesThePdoInvalid) {
  const auto with = [](PdoConfig c, const std::function<void(PdoConfig&)>& change) {
    change(c);
    return c;
  };
  const PdoConfig t = tpdo(1, {position_}, 1);
  const PdoConfig r = rpdo(1, {target_});
  const auto download = [this](int index, int sub, uint32_t v, int n) {
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    return node_->sdo_download(index, sub, b, n);
  };
  const struct {
    const char* what;
    PdoConfig good;
    std::function<int()> bad;
    uint32_t code;
    bool left_valid = false;  // a refused change of a valid PDO
  } rows[] = {
      {"no such object", t, [&] { return vorbel::pdo_write(*node_, tpdo(1, {{0x3000, 0, 8}})); }, 0x06040041},
      {"not mappable", t, [&] { return vorbel::pdo_write(*node_, tpdo(1, {{0x1017, 0, 16}})); }, 0x06040041},
      {"longer than its object", t, [&] { return vorbel::pdo_write(*node_, tpdo(1, {{0x2400, 0, 17}})); }, 0x06040041},
      {"read-only into a receive PDO", r, [&] { return vorbel::pdo_write(*node_, rpdo(1, {position_})); }, 0x06040041},
      {"more entries than the node has", t,
       [&] { return vorbel::pdo_write(*node_, tpdo(1, std::vector<vorbel::PdoEntry>(9, {0x60FF, 0, 1}))); },
       0x06090011},
      {"reserved transmission type", t, [&] { return vorbel::pdo_write(*node_, tpdo(1, {position_}, 250)); },
       0x06090030},
      {"SYNC start above 240", t,
       [&] { return vorbel::pdo_write(*node_, with(t, [](PdoConfig& c) { c.comm.sync_start = 241; })); }, 0x06090031},
      {"identifier 0, refused when made valid", t,
       [&] { return vorbel::pdo_write(*node_, with(t, [](PdoConfig& c) { c.comm.cob_id = 0; })); }, 0x06090032},
      // What the library never writes, straight to the node.
      {"entries of 96 bits", t,
       [&] {
         download(0x1800, 1, 0x80000185, 4);
         download(0x1A00, 0, 0, 1);
         for (int s = 1; s <= 3; ++s) download(0x1A00, s, 0x60640020, 4);
         return download(0x1A00, 0, 3, 1);
       },
       0x06040042},
      {"a valid PDO's identifier changed", t, [&] { return download(0x1800, 1, 0x186, 4); }, 0x06090030,
       true},
      {"a valid PDO's mapping changed", t, [&] { return download(0x1A00, 0, 0, 1); }, 0x08000022,
       true},
  };
  for (const auto& row : rows) {
    ASSERT_EQ(vorbel::pdo_write(*node_, row.good), 0) << row.what;
    EXPECT_EQ(row.bad(), -1) << row.what;
    EXPECT_EQ(node_->sdo_abort_code(), row.code) << row.what;
    PdoConfig now;
    ASSERT_EQ(vorbel::pdo_read(*node_, row.good.kind, 1, &now), 0) << row.what;
    EXPECT_EQ(now.comm.valid(), row.left_valid) << row.what;
  }
  EXPECT_EQ(log_->count("pdo_write", "PUMP: TPDO 1: download of 0x1800/1 failed with -1, abort code 0x06090032; "
                                     "the PDO is left invalid"),
            1u);
}

TEST_F(PdoTest, AReceivePdoSetPointShowsInTheNextTransmitPdoAndWhatDoesNotFitIsNotSent) {
  ASSERT_EQ(vorbel::pdo_write(*node_, tpdo(1, {position_, velocity_}, 1)), 0);
  const PdoConfig r = rpdo(1, {target_, {0x2000, 1, 8}});
  device_->define_object(0x2000, 1, std::string(1, '\0'), canopen_sim::Access::ReadWrite, true);
  device_->set_mappable(0x2000, 1);
  ASSERT_EQ(vorbel::pdo_write(*node_, r), 0);
  ASSERT_EQ(node_->start_node(), 0);
  ASSERT_EQ(node_->AddIdent(0x185), 0);
  ntcan_sim::clear_trace();

  const vorbel::PdoValue fits[] = {-250, 7u};
  ASSERT_EQ(vorbel::pdo_send(*node_, 0x205, r.mapping, fits, 2), 0);
  sync();
  EXPECT_EQ(pdo_frames(), (Frames{"-> 205: 06 FF FF FF 07", "<- 185: 06 FF FF FF 06 FF FF FF"}))
      << "applied at once (type 255): the position counts by it from 0";
  EXPECT_EQ(device_int(0x2000, 1), 7);

  const vorbel::PdoValue too_big[] = {-250, 256u};
  EXPECT_EQ(vorbel::pdo_send(*node_, 0x205, r.mapping, too_big, 2), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(vorbel::pdo_send(*node_, 0x205, r.mapping, fits, 1), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(vorbel::pdo_send(*node_, 0x800, r.mapping, fits, 2), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(pdo_frames(), Frames{});

  // The frames stay the server loop's too: decoded by a receiver from the batch.
  vorbel::PdoReceiver rx(0x185, tpdo(1, {position_, velocity_}).mapping);
  can_looping();
  CMSG batch[100];
  int n = 0;
  ASSERT_EQ(node_->can_array(batch, &n), 0);
  EXPECT_EQ(rx.take(batch, n, 1234), 1);
  EXPECT_EQ(rx.value(0), vorbel::PdoValue(int64_t{-250}));
  EXPECT_EQ(rx.latest().time_ms, 1234);
}

TEST_F(PdoTest, ParametersThatCannotBeAPdoAreRefusedOnReadAndBadArgumentsBeforeAnyTransfer) {
  device_->set_object(0x1A01, 0, std::string(1, '\x41'));  // 65 entries
  PdoConfig c = tpdo(2, {});
  EXPECT_EQ(vorbel::pdo_read(*node_, PdoKind::Transmit, 2, &c), -1);
  device_->set_object(0x1A01, 0, std::string(1, '\x01'));
  device_->set_object(0x1A01, 1, std::string("\x00\x00\x64\x60", 4));  // 0 bits
  EXPECT_EQ(vorbel::pdo_read(*node_, PdoKind::Transmit, 2, &c), -1);
  EXPECT_EQ(c, tpdo(2, {})) << "left as it was";
  EXPECT_EQ(vorbel::pdo_read(*node_, PdoKind::Transmit, 5, &c), -1) << "the device has four";
  EXPECT_EQ(node_->sdo_abort_code(), 0x06020000u);
  frames();
  EXPECT_EQ(vorbel::pdo_read(*node_, PdoKind::Transmit, 513, &c), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(vorbel::pdo_read(*node_, PdoKind::Transmit, 1, nullptr), NTCAN_INVALID_PARAMETER);
  c.number = 0;
  EXPECT_EQ(vorbel::pdo_write(*node_, c), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(frames(), Frames{});
}
