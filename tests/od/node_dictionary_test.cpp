// Typed access to a node's entries against simulated devices built from the
// same data sheets: what the devices serve is what the files say, every
// basic type goes to the device and back, and what the dictionary forbids
// never reaches the bus.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bus_fixture.h"
#include "canopen_device_dictionary.h"
#include "vorbel_od.h"

namespace {

using namespace vorbel::od;

class NodeDictionaryTest : public testsupport::BusTest {
 protected:
  // Node 5 on line 1 (net 0), SDO answers enabled, and its device built
  // from `file`.
  void start(const std::string& file) {
    const LoadResult r = load_file(std::string(VORBEL_EDS_DIR) + "/" + file);
    ASSERT_TRUE(r.ok());
    node_ = node_on(1, 5, "DRIVE");
    ASSERT_EQ(node_->init(0x585), 0);
    device_ = std::make_unique<canopen_sim::Device>(0, 5);
    loaded_ = canopen_sim::load_dictionary(*device_, *r.dictionary);
    od_ = std::make_unique<NodeDictionary>(*node_, r.dictionary);
    ntcan_sim::set_time_scale(0);
  }
  Value read(const std::string& name) {
    Value v;
    EXPECT_EQ(od_->read(name, &v), 0) << name;
    return v;
  }
  // Every readable entry with a value of a known type comes back as the file
  // states it; returns how many were compared.
  int round_trip() {
    int compared = 0;
    for (const Object& o : od_->dictionary().objects()) {
      for (const Entry& e : o.entries) {
        if (!e.is_readable() || !e.known_type() || !e.start_value().present) continue;
        Value v;
        EXPECT_EQ(od_->read(e.index, e.subindex, &v), 0) << e.name;
        Value want = e.start_value().at(5);
        if (type_size(e.data_type) == 4 && want.kind() == Value::Kind::Real) want = static_cast<double>(static_cast<float>(want.as_real()));
        EXPECT_EQ(v, want) << std::hex << e.index << "sub" << int{e.subindex} << " " << v.to_string();
        ++compared;
      }
    }
    return compared;
  }

  std::unique_ptr<testsupport::NodeProbe> node_;
  std::unique_ptr<canopen_sim::Device> device_;
  std::unique_ptr<NodeDictionary> od_;
  canopen_sim::DictionaryLoad loaded_;
};

}  // namespace

TEST_F(NodeDictionaryTest, TheDeviceBuiltFromTheCatalogueServesEveryDefaultOfTheFile) {
  start("datatypes.eds");
  EXPECT_EQ(loaded_.defined, 28);
  EXPECT_TRUE(loaded_.skipped.empty());
  EXPECT_EQ(round_trip(), 28);
  // Built-in entries of indexes the file leaves alone keep working.
  EXPECT_EQ(read("identity.vendor id").as_unsigned(), 0u);
  Value name;
  EXPECT_EQ(NodeDictionary(*node_, nullptr).read("x", &name), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(node_->get_manufacture(), 0);
}

TEST_F(NodeDictionaryTest, TheDeviceBuiltFromTheSampleDcfServesItsValuesWithNodeIdApplied) {
  start("sample.eds");
  ASSERT_EQ(loaded_.skipped, std::vector<std::string>{"0x2020sub0: DataType 0x0040 unknown"});
  EXPECT_EQ(round_trip(), 82);  // entries without a value or of an unknown type are left out
  EXPECT_EQ(read("Receive PDO 0 Communication Parameter.COB-ID use by RPDO 1").as_unsigned(), 0x205u);
  EXPECT_EQ(read("Identity object.Vendor-ID").as_unsigned(), 1u) << "the DCF's ParameterValue";
  EXPECT_EQ(read("identity object.serial number").as_unsigned(), 0u) << "no value: zeros";
  EXPECT_EQ(device_->object(0x1018, 3), std::nullopt) << "the file's object replaces the built-in one";
}

TEST_F(NodeDictionaryTest, EveryBasicTypeIsWrittenAndReadBackByName) {
  start("datatypes.eds");
  struct Case {
    const char* name;
    Value write;
    Value back;
    const char* bytes;  // on the device
  };
  const Case cases[] = {
      {"BOOLEAN", true, 1u, "01"},
      {"INTEGER8", -128, -128, "80"},
      {"INTEGER16", -2, -2, "FE FF"},
      {"INTEGER24", -8388608, -8388608, "00 00 80"},
      {"INTEGER32", "0x7FFFFFFF", 2147483647, "FF FF FF 7F"},
      {"INTEGER40", int64_t{-549755813888}, int64_t{-549755813888}, "00 00 00 00 80"},
      {"INTEGER48", int64_t{140737488355327}, int64_t{140737488355327}, "FF FF FF FF FF 7F"},
      {"INTEGER56", -1, -1, "FF FF FF FF FF FF FF"},
      {"INTEGER64", INT64_MIN, INT64_MIN, "00 00 00 00 00 00 00 80"},
      {"UNSIGNED8", 255, 255u, "FF"},
      {"UNSIGNED16", 4660.0, 4660u, "34 12"},
      {"UNSIGNED24", 0xABCDEF, 0xABCDEFu, "EF CD AB"},
      {"UNSIGNED32", 4000000000u, 4000000000u, "00 28 6B EE"},
      {"UNSIGNED40", uint64_t{0xFFFFFFFFFF}, uint64_t{0xFFFFFFFFFF}, "FF FF FF FF FF"},
      {"UNSIGNED48", uint64_t{1} << 40, uint64_t{1} << 40, "00 00 00 00 00 01"},
      {"UNSIGNED56", uint64_t{0x01020304050607}, uint64_t{0x01020304050607}, "07 06 05 04 03 02 01"},
      {"UNSIGNED64", UINT64_MAX, UINT64_MAX, "FF FF FF FF FF FF FF FF"},
      {"REAL32", -2.5, -2.5, "00 00 20 C0"},
      {"REAL64", 0.1, 0.1, "9A 99 99 99 99 99 B9 3F"},
      {"VISIBLE_STRING", "seven-plus characters", "seven-plus characters", nullptr},
      {"OCTET_STRING", Value::bytes(std::string("\0\1\2\3\4\5\6\7\x08", 9)), Value::bytes(std::string("\0\1\2\3\4\5\6\7\x08", 9)),
       "00 01 02 03 04 05 06 07 08"},
      {"UNICODE_STRING", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80",
       "E9 00 74 00 E9 00 20 00 3D D8 00 DE"},
      {"DOMAIN", "a domain of many bytes", Value::bytes("a domain of many bytes"), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(od_->write(c.name, c.write), 0);
    EXPECT_EQ(read(c.name), c.back) << read(c.name).to_string();
    const Entry* e = od_->dictionary().entry(c.name);
    if (c.bytes) {
      EXPECT_EQ(Value::bytes(*device_->object(e->index, 0)).to_string(), c.bytes);
    }
  }
  EXPECT_EQ(*device_->object(0x2009, 0), "seven-plus characters");
}

TEST_F(NodeDictionaryTest, WhatTheDictionaryForbidsIsRefusedBeforeSendingWithOneLogLine) {
  start("sample.eds");
  struct Case {
    const char* name;
    Value value;
    const char* log;
  };
  const Case cases[] = {
      {"UNSIGNED8 value range +2 to +10", 11, "11 is above HighLimit 0x0A"},
      {"UNSIGNED8 value range +2 to +10", 1u, "1 is below LowLimit 0x02"},
      {"INTEGER32 only negative values", 0, "0 is above HighLimit 0xFFFFFFFF"},
      {"INTEGER64 value range -10 to +10", -11.0, "-11 is below LowLimit 0xFFFFFFFFFFFFFFF6"},
      {"UNSIGNED8 value", 256, "256 is above the range of UNSIGNED8 (0..255)"},
      {"INTEGER16 value", -32769, "is below the range of INTEGER16 (-32768..32767)"},
      {"Producer heartbeat time", -1, "-1 is below the range of UNSIGNED16"},
      {"Producer heartbeat time", 2.5, "'2.5' is no UNSIGNED16 value"},
      {"Producer heartbeat time", "fast", "'fast' is no UNSIGNED16 value"},
      {"Writable string", 5, "a VISIBLE_STRING takes a text"},
      {"Writable string", "", "an empty value"},
      {"Identity object.Vendor-ID", 7, "'Identity object.Vendor-ID' (0x1018/1): the entry is ro"},
      {"Manufacturer device name", "x", "the entry is const"},
      {"Complex data type", 1, "its DataType 64 is no basic type"},
      {"Number of Entries", 2, "no entry is named 'Number of Entries'"},
      {"Valve % open", 1, "no entry is named"},
  };
  const uint64_t requests = device_->sdo_requests();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_->clear();
    EXPECT_EQ(od_->write(c.name, c.value), NTCAN_INVALID_PARAMETER);
    const auto texts = log_->texts("NodeDictionary");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find(c.log), std::string::npos) << texts[0];
    if (std::string(c.name).find("only negative") == std::string::npos && texts[0].find("no entry") == std::string::npos) {
      EXPECT_NE(texts[0].find(c.name), std::string::npos) << "names the entry: " << texts[0];
    }
  }
  EXPECT_EQ(device_->sdo_requests(), requests) << "nothing went to the node";
  // Within the limits it goes out; $NODEID-free limits at any node.
  EXPECT_EQ(od_->write("UNSIGNED8 value range +2 to +10", "0x0A"), 0);
  EXPECT_EQ(od_->write("INTEGER64 value range -10 to +10", -10), 0);
  EXPECT_EQ(od_->write(0x3030, 0, -5), 0);
  EXPECT_EQ(read("INTEGER32 only negative values").as_integer(), -5);
}

TEST_F(NodeDictionaryTest, TheDeviceRefusesWhatItsFileForbidsWithTheStandardAbortCodes) {
  start("sample.eds");
  auto download = [this](int index, const std::string& bytes) {
    const int r = node_->sdo_download(index, 0, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    return r == 0 ? 0u : node_->sdo_abort_code();
  };
  EXPECT_EQ(download(0x3021, std::string(1, 11)), canopen_sim::kAbortValueTooHigh);
  EXPECT_EQ(download(0x3021, std::string(1, 1)), canopen_sim::kAbortValueTooLow);
  EXPECT_EQ(download(0x3021, std::string(2, 5)), canopen_sim::kAbortLengthMismatch);
  EXPECT_EQ(download(0x3021, std::string(1, 10)), 0u);
  EXPECT_EQ(download(0x3020, std::string(1, '\x80')), canopen_sim::kAbortValueTooLow);
  EXPECT_EQ(download(0x1008, "NEW NAME"), canopen_sim::kAbortReadOnly);
  EXPECT_EQ(download(0x2000, "a string longer than four bytes"), 0u);
  EXPECT_EQ(read("Writable string").as_text(), "a string longer than four bytes");

  // A write-only entry: the library does not ask, the device refuses an upload.
  const LoadResult wo = parse("[2100]\nParameterName=Command\nObjectType=7\nDataType=7\nAccessType=wo\n", "wo.eds");
  canopen_sim::load_dictionary(*device_, *wo.dictionary);
  NodeDictionary od(*node_, wo.dictionary);
  Value v;
  EXPECT_EQ(od.read("Command", &v), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(od.write("command", 0x65766173u), 0);
  unsigned char buf[4];
  int len = 0;
  EXPECT_EQ(node_->sdo_upload(0x2100, 0, buf, 4, &len), -1);
  EXPECT_EQ(node_->sdo_abort_code(), canopen_sim::kAbortWriteOnly);
}

TEST_F(NodeDictionaryTest, ALimitWithNodeIdIsTakenAtTheNodesIdAndShortAnswersFail) {
  start("datatypes.eds");
  const LoadResult r = parse("[OptionalObjects]\nSupportedObjects=1\n1=0x2800\n[2800]\nParameterName=TPDO\nObjectType=9\nSubNumber=2\n"
                             "[2800sub1]\nParameterName=COB-ID\nObjectType=7\nDataType=7\nAccessType=rw\n"
                             "DefaultValue=$NODEID+0x180\nLowLimit=$NODEID+0x180\nHighLimit=$NODEID+0x1FF\n",
                             "tpdo.eds");
  ASSERT_TRUE(r.warnings.empty()) << r.warnings[0].to_string();
  canopen_sim::load_dictionary(*device_, *r.dictionary);
  NodeDictionary od(*node_, r.dictionary);
  Value v;
  ASSERT_EQ(od.read("TPDO.COB-ID", &v), 0);
  EXPECT_EQ(v.as_unsigned(), 0x185u);
  EXPECT_EQ(od.write("TPDO.COB-ID", 0x184), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(od.write("TPDO.COB-ID", 0x204), 0);
  EXPECT_EQ(od.write("TPDO.COB-ID", 0x205), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(device_->object(0x2800, 1), std::string("\x04\x02\0\0", 4));

  // A node that answers fewer bytes than the type has.
  device_->set_object(0x2007, 0, "ab");
  log_->clear();
  EXPECT_EQ(od_->read("UNSIGNED32", &v), -1);
  EXPECT_EQ(log_->texts("NodeDictionary").at(0), "read of 'UNSIGNED32' (0x2007/0): the node answered 2 bytes for a UNSIGNED32 of 4");
}
