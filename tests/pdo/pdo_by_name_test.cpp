// PDO mappings built from a node's data sheet by entry name, and a transmit
// PDO mapped that way on a simulated device built from the same file.
#include <gtest/gtest.h>

#include <string>

#include "canopen_device_dictionary.h"
#include "pdo_fixture.h"
#include "vorbel_od.h"

namespace {

using vorbel::PdoType;

std::shared_ptr<const vorbel::od::Dictionary> eds(const std::string& name) {
  const vorbel::od::LoadResult r = vorbel::od::load_file(std::string(VORBEL_EDS_DIR) + "/" + name);
  EXPECT_TRUE(r.ok()) << name;
  return r.dictionary;
}

struct ByName {
  const char* file;
  const char* name;
  uint16_t index;  // 0: refused
  uint8_t subindex;
  int bits;
  PdoType type;
  const char* refusal;  // part of the reason when refused
};

}  // namespace

TEST(PdoMappingByName, EachEntryTakesItsPlaceLengthAndTypeFromTheDataSheetOrIsRefusedWithTheReason) {
  const ByName rows[] = {
      {"datatypes.eds", "boolean", 0x2001, 0, 1, PdoType::Unsigned, ""},
      {"datatypes.eds", "INTEGER8", 0x2002, 0, 8, PdoType::Signed, ""},
      {"datatypes.eds", "INTEGER24", 0x2010, 0, 24, PdoType::Signed, ""},
      {"datatypes.eds", "INTEGER56", 0x2014, 0, 56, PdoType::Signed, ""},
      {"datatypes.eds", "UNSIGNED16", 0x2006, 0, 16, PdoType::Unsigned, ""},
      {"datatypes.eds", "UNSIGNED40", 0x2018, 0, 40, PdoType::Unsigned, ""},
      {"datatypes.eds", "UNSIGNED64", 0x201B, 0, 64, PdoType::Unsigned, ""},
      {"datatypes.eds", "REAL32", 0x2008, 0, 32, PdoType::Real32, ""},
      {"datatypes.eds", "REAL64", 0x2011, 0, 64, PdoType::Real64, ""},
      {"sample.eds", "ReadRawValue.Temperature", 0x3010, 0, 32, PdoType::Real32, ""},
      {"sample.eds", "Error register", 0x1001, 0, 8, PdoType::Unsigned, ""},
      {"datatypes.eds", "VISIBLE_STRING", 0, 0, 0, PdoType::Unsigned, "VISIBLE_STRING, not a number"},
      {"datatypes.eds", "DOMAIN", 0, 0, 0, PdoType::Unsigned, "DOMAIN, not a number"},
      {"datatypes.eds", "Identity.Vendor ID", 0, 0, 0, PdoType::Unsigned, "cannot be mapped"},
      {"sample.eds", "Producer heartbeat time", 0, 0, 0, PdoType::Unsigned, "cannot be mapped"},
      {"datatypes.eds", "no such entry", 0, 0, 0, PdoType::Unsigned, "no such entry"},
  };
  for (const ByName& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " " + row.name);
    vorbel::PdoMapping m;
    std::string why = "untouched";
    const int r = m.add(*eds(row.file), row.name, &why);
    if (row.index == 0) {
      EXPECT_EQ(r, NTCAN_INVALID_PARAMETER);
      EXPECT_NE(why.find(row.refusal), std::string::npos) << why;
      EXPECT_TRUE(m.empty());
      continue;
    }
    ASSERT_EQ(r, 0) << why;
    EXPECT_EQ(why, "");
    EXPECT_EQ(m[0], (vorbel::PdoEntry{row.index, row.subindex, static_cast<uint8_t>(row.bits), row.type}));
  }

  // Past 64 bits nothing is added; the entries before stay.
  vorbel::PdoMapping m;
  const auto d = eds("datatypes.eds");
  ASSERT_EQ(m.add(*d, "INTEGER32"), 0);
  ASSERT_EQ(m.add(*d, "UNSIGNED16"), 0);
  std::string why;
  EXPECT_EQ(m.add(*d, "INTEGER24", &why), NTCAN_INVALID_PARAMETER);
  EXPECT_NE(why.find("48 of its 64 bits"), std::string::npos) << why;
  EXPECT_EQ(m.size(), 2);
  EXPECT_EQ(m.add(*d, "UNSIGNED16"), 0) << "exactly 64 bits";

  // A mapping read from a node is unsigned throughout; the data sheet types it.
  vorbel::PdoMapping read;
  ASSERT_EQ(read.add(0x2004, 0, 16), 0);  // the low half of an INTEGER32
  ASSERT_EQ(read.add(0x2008, 0, 32), 0);  // REAL32
  ASSERT_EQ(read.add(0x2011, 0, 8), 0);   // a byte of a REAL64: raw
  EXPECT_EQ(read.set_types(*d), 0);
  EXPECT_EQ(read[0].type, PdoType::Signed);
  EXPECT_EQ(read[1].type, PdoType::Real32);
  EXPECT_EQ(read[2].type, PdoType::Unsigned);
  ASSERT_EQ(read.add(0x5555, 0, 8), 0);
  EXPECT_EQ(read.set_types(*d), NTCAN_INVALID_PARAMETER) << "not in the data sheet";
  EXPECT_EQ(read[3].type, PdoType::Unsigned);
}

// The simulated device takes its dictionary from datatypes.eds; a transmit
// PDO mapped by name carries the file's defaults, decoded with their types.
TEST_F(PdoTest, ATransmitPdoMappedByNameCarriesTheDataSheetsDefaultsDecodedWithTheirTypes) {
  const auto d = eds("datatypes.eds");
  canopen_sim::load_dictionary(*device_, *d);
  vorbel::PdoConfig t = tpdo(2, {}, 1);  // at every SYNC
  for (const char* name : {"INTEGER24", "BOOLEAN", "REAL32"}) {  // 57 bits: the real starts at bit 25
    ASSERT_EQ(t.mapping.add(*d, name), 0) << name;
    const vorbel::od::Entry* e = d->entry(name);
    device_->set_mappable(e->index, e->subindex);
  }
  ASSERT_EQ(vorbel::pdo_write(*node_, t), 0);
  ASSERT_EQ(node_->bind_tpdo(0x285, t.mapping), 0);
  ASSERT_EQ(node_->start_node(), 0);
  const auto r = node_->tpdo(0x285);

  sync();
  can_looping();
  ASSERT_EQ(r->decoded(), 1u);
  EXPECT_EQ(r->value(0), vorbel::PdoValue(int64_t{-1}));
  EXPECT_EQ(r->value(1), vorbel::PdoValue(uint64_t{0}));
  EXPECT_EQ(r->value(2), vorbel::PdoValue(1.2f));
  device_->set_object(0x2001, 0, std::string(1, '\x01'));
  sync();
  can_looping();
  EXPECT_EQ(r->value(1), vorbel::PdoValue(uint64_t{1}));
  EXPECT_EQ(r->value(2), vorbel::PdoValue(1.2f)) << "its neighbour untouched";
  EXPECT_EQ(r->length_mismatches(), 0u);
}
