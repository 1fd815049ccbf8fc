// The data-sheet reader on the two shipped files of an independent CANopen
// project, and on small hostile files: what it keeps, what it warns about
// (with file and line), what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vorbel_od.h"

namespace {

using namespace vorbel::od;

LoadResult load(const std::string& name) { return load_file(std::string(VORBEL_EDS_DIR) + "/" + name); }

// Every diagnostic as "line: text".
std::vector<std::string> lines_of(const std::vector<Diagnostic>& d) {
  std::vector<std::string> out;
  for (const Diagnostic& x : d) out.push_back(std::to_string(x.line) + ": " + x.text);
  return out;
}

bool mentions(const std::vector<Diagnostic>& d, int line, const std::string& part) {
  for (const Diagnostic& x : d)
    if (x.line == line && x.text.find(part) != std::string::npos) return true;
  return false;
}

struct Expected {
  uint16_t index;
  uint8_t sub;
  const char* name;  // as looked up by name
  const char* type;
  const char* access;
  const char* start;  // start value at node id 5, "" for none
  const char* low;
  const char* high;
};

void expect_entries(const Dictionary& d, const std::vector<Expected>& table) {
  for (const Expected& x : table) {
    SCOPED_TRACE(x.name);
    const Entry* e = d.entry(x.index, x.sub);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(d.entry(x.name), e);
    EXPECT_STREQ(type_name(e->data_type) ? type_name(e->data_type) : "?", x.type);
    EXPECT_STREQ(access_name(e->access), x.access);
    EXPECT_EQ(e->start_value().present ? e->start_value().at(5).to_string() : "", x.start);
    EXPECT_EQ(e->low_limit.present ? e->low_limit.value.to_string() : "", x.low);
    EXPECT_EQ(e->high_limit.present ? e->high_limit.value.to_string() : "", x.high);
  }
}

}  // namespace

TEST(EdsReader, TheDataTypeCatalogueLoadsEveryBasicTypeWithItsDefault) {
  const LoadResult r = load("datatypes.eds");
  ASSERT_TRUE(r.ok()) << testing::PrintToString(lines_of(r.errors));
  EXPECT_TRUE(r.warnings.empty()) << testing::PrintToString(lines_of(r.warnings));
  const Dictionary& d = *r.dictionary;
  EXPECT_EQ(d.objects().size(), 24u);
  EXPECT_EQ(d.entry_count(), 28u);
  EXPECT_EQ(d.info("fileinfo", "CREATEDBY"), "objdictgen");
  EXPECT_EQ(d.info("DummyUsage", "Dummy0001"), "0");
  expect_entries(d, {
      {0x1018, 4, "identity.serial number", "UNSIGNED32", "ro", "0", "", ""},
      {0x2001, 0, "BOOLEAN", "BOOLEAN", "rw", "0", "", ""},
      {0x2002, 0, "INTEGER8", "INTEGER8", "rw", "12", "", ""},
      {0x2006, 0, "UNSIGNED16", "UNSIGNED16", "rw", "8198", "", ""},
      {0x2007, 0, "UNSIGNED32", "UNSIGNED32", "rw", "537337864", "", ""},
      {0x2008, 0, "REAL32", "REAL32", "rw", "1.2", "", ""},
      {0x2009, 0, "VISIBLE_STRING", "VISIBLE_STRING", "rw", "ABCD", "", ""},
      {0x200A, 0, "OCTET_STRING", "OCTET_STRING", "rw", "41 42 43 44", "", ""},
      {0x200B, 0, "UNICODE_STRING", "UNICODE_STRING", "rw", "abc\xE2\x9C\x93", "", ""},
      {0x200F, 0, "DOMAIN", "DOMAIN", "rw", "40 41 42 43 44", "", ""},
      {0x2010, 0, "INTEGER24", "INTEGER24", "rw", "-1", "", ""},
      {0x2011, 0, "REAL64", "REAL64", "rw", "1.6", "", ""},
      {0x2015, 0, "INTEGER64", "INTEGER64", "rw", "-64", "", ""},
      {0x201B, 0, "UNSIGNED64", "UNSIGNED64", "rw", "64", "", ""},
  });
  EXPECT_TRUE(d.entry(0x2001, 0)->pdo_mapping);
  EXPECT_FALSE(d.entry(0x1018, 1)->pdo_mapping);
}

TEST(EdsReader, TheSampleDcfLoadsWithItsOdditiesAsWarnings) {
  const LoadResult r = load("sample.eds");
  ASSERT_TRUE(r.ok()) << testing::PrintToString(lines_of(r.errors));
  const Dictionary& d = *r.dictionary;
  EXPECT_EQ(d.objects().size(), 40u);
  EXPECT_EQ(d.entry_count(), 124u);
  EXPECT_EQ(d.info("DeviceComissioning", "NodeID"), "0x10");
  EXPECT_EQ(d.info("Comments", "Line2"), "| Don't panic |");
  expect_entries(d, {
      {0x1017, 0, "Producer heartbeat time", "UNSIGNED16", "rw", "0", "", ""},
      {0x1018, 0, "Identity object.Highest sub-index supported", "UNSIGNED8", "const", "4", "", ""},
      {0x1018, 1, "IDENTITY OBJECT.VENDOR-ID", "UNSIGNED32", "ro", "1", "", ""},  // ParameterValue
      {0x1008, 0, "manufacturer device name", "VISIBLE_STRING", "const", "TEST DEVICE", "", ""},
      {0x1400, 1, "Receive PDO 0 Communication Parameter.COB-ID use by RPDO 1", "UNSIGNED32", "rw", "517", "", ""},
      {0x1403, 1, "Receive PDO 3 Communication Parameter.COB-ID use by RPDO 4", "UNSIGNED32", "rw", "1285", "", ""},
      {0x1400, 0, "Receive PDO 0 Communication Parameter.Number of Entries", "UNSIGNED8", "ro", "2", "2", "2"},
      {0x1A00, 1, "Transmit PDO 0 mapping parameter.TPDO 1 mapping information 1", "UNSIGNED32", "rw", "1614872592", "", ""},
      {0x3002, 0, "Sensor Sampling Rate (Hz)", "REAL32", "ro", "5.2", "4.5", ""},
      {0x3004, 0, "Sensor Status.Number of entries", "UNSIGNED8", "ro", "3", "", ""},
      {0x3004, 2, "Sensor Status.Sensor Status 2", "UNSIGNED16", "ro", "3", "", ""},
      {0x3006, 24, "Valve 1 % Open.Valve 1 % Open 24", "REAL32", "rw", "", "", ""},
      {0x3010, 0, "ReadRawValue.Temperature", "REAL32", "ro", "0", "", ""},
      {0x3020, 0, "INTEGER8 only positive values", "INTEGER8", "rw", "", "0", "127"},
      {0x3030, 0, "INTEGER32 only negative values", "INTEGER32", "rw", "", "-2147483648", "-1"},
      {0x3040, 0, "INTEGER64 value range -10 to +10", "INTEGER64", "rw", "", "-10", "10"},
  });
  // What the file leaves out stays out.
  EXPECT_EQ(d.entry(0x1018, 3), nullptr);
  EXPECT_EQ(d.entry(0x1003, 2), nullptr);
  EXPECT_EQ(d.object(0x3003)->entries.size(), 0u);
  // Keys the reader does not interpret stay with their entry.
  const Entry* ext = d.entry(0x3050, 1);
  ASSERT_EQ(ext->other_keys.size(), 3u);
  EXPECT_EQ(ext->other_keys[2], (std::pair<std::string, std::string>{"Unit", "mV"}));
  // The oddities of real tools: warnings with their lines.
  EXPECT_TRUE(mentions(r.warnings, 891, "DataType 0x0040 is neither a basic type nor defined")) << testing::PrintToString(lines_of(r.warnings));
  EXPECT_TRUE(mentions(r.warnings, 893, "LowLimit 0x3 is above HighLimit 0x1"));
  EXPECT_TRUE(mentions(r.warnings, 907, "ARRAY or RECORD without sub-objects"));
  EXPECT_TRUE(mentions(r.warnings, 834, "announces 0 objects and lists 1"));
  EXPECT_TRUE(mentions(r.warnings, 0, "have no DefaultValue (0x1000sub0, 0x1001sub0"));
  EXPECT_EQ(d.entry(0x2020, 0)->default_value.text, "0x0");
  EXPECT_FALSE(d.entry(0x2020, 0)->known_type());
}

TEST(EdsReader, NumbersAreReadInEveryFormDataSheetsUse) {
  struct Case {
    const char* type;
    const char* text;
    const char* value;  // at node id 5, "!" when refused
  };
  const Case cases[] = {
      {"0x0007", "4096", "4096"},        {"0x0007", "0x1000", "4096"},      {"0x0007", "010000", "4096"},
      {"0x0007", "$NODEID+0x180", "389"}, {"0x0007", "0x200 + $nodeid", "517"}, {"0x0007", "$NODEID", "5"},
      {"0x0004", "0xFFFFFFFF", "-1"},     {"0x0004", "-2147483648", "-2147483648"}, {"0x0002", "0x80", "-128"},
      {"0x0002", "-0x7F", "-127"},        {"0x0015", "0xFFFFFFFFFFFFFFF6", "-10"}, {"0x001B", "18446744073709551615", "18446744073709551615"},
      {"0x0001", "TRUE", "1"},            {"0x0008", "-1.5e3", "-1500"},       {"0x0011", "0.1", "0.1"},
      {"0x0005", "256", "!"},             {"0x0005", "12abc", "!"},           {"0x0005", "0x", "!"},
      {"0x0006", "-1", "!"},              {"0x0008", "fast", "!"},            {"0x001B", "18446744073709551616", "!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.text);
    const LoadResult r = parse(std::string("[2000]\nParameterName=x\nObjectType=7\nAccessType=rw\nDataType=") + c.type +
                               "\nDefaultValue=" + c.text + "\n", "n.eds");
    ASSERT_TRUE(r.ok());
    const Setting& s = r.dictionary->entry(0x2000, 0)->default_value;
    if (std::string(c.value) == "!") {
      EXPECT_FALSE(s.present);
      EXPECT_TRUE(mentions(r.warnings, 6, "DefaultValue")) << testing::PrintToString(lines_of(r.warnings));
    } else {
      EXPECT_EQ(s.at(5).to_string(), c.value);
    }
  }
}

TEST(EdsReader, CompactSubObjectsSectionsInAnyCaseAndCommentsAreRead) {
  const LoadResult r = parse(
      "; a comment\r\n"
      "[optionalobjects]\r\nSupportedObjects=2\r\n1=0x1016\r\n2=0x1A01\r\n"
      "[1016]\r\nParameterName=Consumer heartbeat time\r\nObjectType=0x08\r\nDataType=0x0007\r\n"
      "AccessType=RW\r\nDefaultValue=$NODEID+0x10000\r\nCompactSubObj=3\r\nPDOMapping=0\r\n"
      "[1016Name]\r\nNrOfEntries=1\r\n2=Watch node 2\r\n"
      "[1016value]\r\nNrOfEntries=1\r\n3=0x20064\r\n"
      "[1a01]\r\nParameterName=Map\r\nObjectType=9\r\nSubNumber=2\r\n"
      "[1A01SUB0]\r\nParameterName=Count\r\nDataType=5\r\nAccessType=Const\r\nDefaultValue=1\r\nObjectType=7\r\n"
      "[1a01sub1]\r\nParameterName=First\r\nDataType=7\r\nAccessType=rww\r\nDefaultValue=0x60000108\r\nObjectType=7\r\n",
      "compact.dcf");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.warnings.empty()) << testing::PrintToString(lines_of(r.warnings));
  const Dictionary& d = *r.dictionary;
  EXPECT_EQ(d.object(0x1016)->entries.size(), 4u);
  expect_entries(d, {
      {0x1016, 0, "Consumer heartbeat time.Number of entries", "UNSIGNED8", "ro", "3", "", ""},
      {0x1016, 1, "Consumer heartbeat time.Consumer heartbeat time 1", "UNSIGNED32", "rw", "65541", "", ""},
      {0x1016, 2, "Consumer heartbeat time.watch node 2", "UNSIGNED32", "rw", "65541", "", ""},
      {0x1016, 3, "Consumer heartbeat time.Consumer heartbeat time 3", "UNSIGNED32", "rw", "131172", "", ""},
      {0x1A01, 0, "map.count", "UNSIGNED8", "const", "1", "", ""},
      {0x1A01, 1, "Map.First", "UNSIGNED32", "rww", "1610613000", "", ""},
  });
}

TEST(EdsReader, NamesThatSeveralEntriesShareAreRefusedWithTheReason) {
  const LoadResult r = load("sample.eds");
  std::string why;
  EXPECT_EQ(r.dictionary->entry("Number of Entries", &why), nullptr);
  EXPECT_EQ(why, "no entry is named 'Number of Entries'");
  EXPECT_EQ(r.dictionary->entry("BOOLEAN value"), r.dictionary->entry(0x2005, 0));
  const LoadResult twice = parse("[2000]\nParameterName=Speed\nDataType=6\nAccessType=rw\nObjectType=7\n"
                                 "[2001]\nParameterName=speed\nDataType=6\nAccessType=rw\nObjectType=7\n", "twice.eds");
  EXPECT_EQ(twice.dictionary->entry("SPEED", &why), nullptr);
  EXPECT_EQ(why, "'SPEED' names 2 entries (0x2000, 0x2001)");
}

// Each hostile file: loaded or refused, and the diagnostic with its line.
TEST(EdsReader, HostileFilesGetAClearDiagnosticNamingFileAndLine) {
  const std::string var = "ParameterName=v\nObjectType=7\nDataType=6\nAccessType=rw\n";
  struct Case {
    const char* what;
    std::string text;
    bool loads;
    int line;
    const char* diagnostic;
  };
  const Case cases[] = {
      {"truncated in a section header", "[2000]\n" + var + "[20", false, 6, "section header '[20' cannot be read"},
      {"truncated in a key", "[2000]\n" + var + "[2001]\nParameterName=w\nDataTy", true, 8, "'DataTy' is neither a section"},
      {"a section without ObjectType", "[2000]\nParameterName=v\nDataType=6\nAccessType=rw\n", true, 1,
       "[2000] has no ObjectType: taken as VAR"},
      {"a DataType that does not exist", "[2000]\nParameterName=v\nObjectType=7\nDataType=0x77\nAccessType=rw\n", true, 4,
       "DataType 0x0077 is neither a basic type"},
      {"a default out of its own limits", "[2000]\n" + var + "LowLimit=10\nHighLimit=20\nDefaultValue=30\n", true, 8,
       "DefaultValue 30 of 0x2000sub0 'v' is outside its HighLimit 20"},
      {"a default out of its type", "[2000]\n" + var + "DefaultValue=70000\n", true, 6,
       "DefaultValue 70000 is outside the range of UNSIGNED16: ignored"},
      {"a LowLimit above its HighLimit", "[2000]\n" + var + "LowLimit=9\nHighLimit=1\n", true, 6,
       "LowLimit 9 is above HighLimit 1 in 0x2000sub0 'v': both ignored"},
      {"a sub-index beyond SubNumber", "[2000]\nParameterName=r\nObjectType=9\nSubNumber=1\n[2000sub0]\n" + var +
       "[2000sub5]\n" + var, true, 10, "sub-index 5 of 0x2000 is beyond SubNumber=1"},
      {"duplicate sections", "[2000]\n" + var + "[2000]\n" + var, true, 6, "section [2000] again (first at line 1): ignored"},
      {"a duplicate key", "[2000]\n" + var + "DataType=7\n", true, 6, "DataType again in [2000] (first at line 4): ignored"},
      {"an unknown AccessType", "[2000]\nParameterName=v\nObjectType=7\nDataType=6\nAccessType=rx\n", true, 5,
       "AccessType 'rx' is none of"},
      {"an unknown ObjectType", "[2000]\nParameterName=v\nObjectType=0x4\nDataType=6\nAccessType=ro\n", true, 3,
       "ObjectType '0x4' is not NULL"},
      {"sub-objects without their object", "[2000]\n" + var + "[2100sub1]\n" + var, true, 6,
       "sub-objects of 0x2100 without an object section"},
      {"a listed object without section", "[MandatoryObjects]\nSupportedObjects=1\n1=0x1000\n[2000]\n" + var, true, 3,
       "object 0x1000 is listed but has no section"},
      {"no object at all", "[FileInfo]\nFileName=x.eds\n", false, 0, "no object of a dictionary in the file"},
      {"binary garbage", std::string("\x7f\x45\x4c\x46\x02\x01\x01\0\0\0", 10) + "\n\xff\xfe", false, 0, "no object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const LoadResult r = parse(c.text, "hostile.eds");
    EXPECT_EQ(r.ok(), c.loads);
    const auto& where = c.loads ? r.warnings : r.errors;
    EXPECT_TRUE(mentions(where, c.line, c.diagnostic)) << testing::PrintToString(lines_of(where));
    for (const Diagnostic& x : where) EXPECT_EQ(x.to_string().rfind("hostile.eds:", 0), 0u);
  }
  const LoadResult missing = load("no-such-file.eds");
  EXPECT_FALSE(missing.ok());
  EXPECT_NE(missing.errors.at(0).to_string().find("no-such-file.eds: cannot be read"), std::string::npos);
}
