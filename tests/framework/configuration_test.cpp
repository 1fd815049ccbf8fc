// The framework stand-in's configuration file: what a server saves is what
// it loads, and a bad file never half-applies.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "telvo.h"
#include "test_support.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

struct Server {
  EqFct eq{"SRV"};
  D_int count{"COUNT a counter", &eq};
  D_string title{"TITLE", &eq};
  char label_buf[16] = {};
  D_string label{"LABEL bound text", label_buf, sizeof label_buf, &eq};
  D_iiii record{"REC", &eq};
};

}  // namespace

TEST(Configuration, WhatAServerSavesItLoadsBackPassingOverOtherSectionsAndUnknownNames) {
  TempDir dir;
  const std::string path = dir.file("srv.conf");
  {
    Server s;
    s.count.set_value(-42);
    s.title.set_value("two\nlines \\ and more");
    s.label.set_value("short");
    s.record.set_value(IIII{1, 5, 0, -7});
    std::string err;
    ASSERT_EQ(s.eq.save_config(path, &err), 0) << err;
  }
  const std::string text = read_file(path);
  EXPECT_NE(text.find("eq_fct: SRV\n"), std::string::npos);
  EXPECT_NE(text.find("REC: \t1  5  0  -7\n"), std::string::npos);
  EXPECT_NE(text.find("COUNT: \t-42\n"), std::string::npos);
  write_file(path, "# comment\n\neq_fct: OTHER\nCOUNT: \t1\n" + text + "GONE: \t5\n");

  Server t;
  std::string err;
  ASSERT_EQ(t.eq.load_config(path, &err), 0) << err;
  EXPECT_EQ(t.count.value(), -42);
  EXPECT_EQ(t.title.value(), "two\nlines \\ and more");
  EXPECT_EQ(t.label.value(), "short");
  EXPECT_EQ(*t.record.value(), (IIII{1, 5, 0, -7}));
  // Saved again over a read-only file, it keeps the file's mode and owner.
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const bool root = geteuid() == 0;
  ASSERT_TRUE(!root || chown(path.c_str(), 4321, 4321) == 0);
  ASSERT_EQ(t.eq.save_config(path, &err), 0) << err;
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_EQ(st.st_uid, root ? 4321u : geteuid());
  // Saving leaves no temporary file behind.
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"srv.conf"});
}

TEST(Configuration, AMissingOrMalformedFileIsReportedAndChangesNothingAndAFailedSaveSaysWhy) {
  TempDir dir;
  Server s;
  s.count.set_value(3);
  std::string err;
  EXPECT_EQ(s.eq.load_config(dir.file("absent.conf"), &err), -1);
  EXPECT_NE(err.find("absent.conf"), std::string::npos) << err;

  const struct {
    const char* content;
    const char* reason;
  } bad[] = {
      {"eq_fct: SRV\nCOUNT: \t7\nREC: \t1  2  3\n", "expected four integers"},
      {"eq_fct: SRV\nCOUNT: \t7\nREC: \t1  2  3  99999999999\n", "not a 32-bit integer"},
      {"COUNT: \t7\n", "before the first"},
      {"eq_fct: SRV\nCOUNT \t7\n", "expected 'NAME:value'"},
      {"eq_fct: SRV\nCOUNT: \tseven\n", "expected one 32-bit integer"},
      // Of two errors the first by line is reported.
      {"eq_fct: SRV\nCOUNT: \tseven\nREC \t1  2  3  4\n", "bad.conf:2: value of COUNT"},
  };
  for (const auto& b : bad) {
    write_file(dir.file("bad.conf"), b.content);
    err.clear();
    EXPECT_EQ(s.eq.load_config(dir.file("bad.conf"), &err), -1) << b.content;
    EXPECT_NE(err.find(b.reason), std::string::npos) << err;
    EXPECT_EQ(s.count.value(), 3) << "a rejected file must not apply any entry";
  }
  EXPECT_EQ(s.eq.save_config("/nonexistent-dir/srv.conf", &err), -1);
  EXPECT_NE(err.find("nonexistent-dir"), std::string::npos) << err;
}
