// The mail settings file: what it sets, and the lines that make it refused.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/Settings.h"

namespace pithorama::test {
namespace {

using app::ApplySettingsText;
using app::LoadMailSettings;
using app::TMailSettings;

TMailSettings BuiltIn() {
  return {"localhost", "25", "Pithorama <pithorama@example.org>", "quotes@example.org",
          "Pithorama"};
}

void ExpectSame(const TMailSettings& a, const TMailSettings& b) {
  EXPECT_EQ(a.Relay, b.Relay);
  EXPECT_EQ(a.Port, b.Port);
  EXPECT_EQ(a.Sender, b.Sender);
  EXPECT_EQ(a.Recipient, b.Recipient);
  EXPECT_EQ(a.Subject, b.Subject);
}

TEST(MailSettingsTest, EveryNameSetsItsValue) {
  TMailSettings settings = BuiltIn();
  const std::string text =
      "# comment\n\n  relay = mail.example.net\r\nport=587\n"
      "sender =  Quotes <q@example.net> \n\trecipient = a@example.net, b@example.net\n"
      "subject = Today's saying = wisdom\n";
  ASSERT_EQ(ApplySettingsText(text, settings), "");
  ExpectSame(settings, {"mail.example.net", "587", "Quotes <q@example.net>",
                        "a@example.net, b@example.net", "Today's saying = wisdom"});
}

TEST(MailSettingsTest, NamesLeftOutKeepTheirValues) {
  TMailSettings settings = BuiltIn();
  ASSERT_EQ(ApplySettingsText("subject = Hello", settings), "");
  TMailSettings expected = BuiltIn();
  expected.Subject = "Hello";
  ExpectSame(settings, expected);
  settings = BuiltIn();
  ASSERT_EQ(ApplySettingsText("", settings), "");
  ExpectSame(settings, BuiltIn());
}

struct BadCase {
  std::string text;
  std::string fault;
};

TEST(MailSettingsTest, ABadLineRefusesTheWholeFile) {
  const BadCase cases[] = {
      {"relay = a\nrelay mail.example.net\n", "line 2: no \"=\" in the line"},
      {"relay = a\nhost = b\n", "line 2: unknown setting \"host\""},
      {"Relay = a\n", "line 1: unknown setting \"Relay\""},
      {"subject =\n", "line 1: no value for \"subject\""},
      {"relay = mail example\n", "line 1: a blank in the value of \"relay\""},
      {"port = 25 26\n", "line 1: a blank in the value of \"port\""},
      {std::string("subject = a\x01z\n"),
       "line 1: a control character in the value of \"subject\""},
      {"sender = a\rBcc: x@example.net\n",
       "line 1: a control character in the value of \"sender\""},
      {"# one\n\n\x01re\x1Blay = a\n", "line 3: unknown setting \"?re?lay\""},
      {std::string(45, 'x') + " = a\n",
       "line 1: unknown setting \"" + std::string(40, 'x') + "...\""},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.text);
    TMailSettings settings = BuiltIn();
    EXPECT_EQ(ApplySettingsText(c.text, settings), c.fault);
    ExpectSame(settings, BuiltIn());
  }
}

class MailSettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() /
        ("pithorama-settings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string Write(const std::string& text) {
    const std::string path = (folder_ / "pithorama.conf").string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::filesystem::path folder_;
};

TEST_F(MailSettingsFileTest, ReadsTheFile) {
  TMailSettings settings = BuiltIn();
  EXPECT_EQ(LoadMailSettings(Write("relay = 127.0.0.1\n"), settings), "");
  EXPECT_EQ(settings.Relay, "127.0.0.1");
}

TEST_F(MailSettingsFileTest, AMissingFileIsNamedWithItsReason) {
  TMailSettings settings = BuiltIn();
  const std::string path = (folder_ / "missing.conf").string();
  const std::string fault = LoadMailSettings(path, settings);
  EXPECT_EQ(fault.rfind("cannot read " + path + ": ", 0), 0u) << fault;
  EXPECT_GT(fault.size(), ("cannot read " + path + ": ").size());
  ExpectSame(settings, BuiltIn());
}

TEST_F(MailSettingsFileTest, ABadFileIsNamedWithItsLine) {
  TMailSettings settings = BuiltIn();
  const std::string path = Write("# mail\nrelay = a\nrelai = b\n");
  EXPECT_EQ(LoadMailSettings(path, settings), path + " line 3: unknown setting \"relai\"");
  ExpectSame(settings, BuiltIn());
}

TEST_F(MailSettingsFileTest, AnOverlongFileIsRefused) {
  TMailSettings settings = BuiltIn();
  const std::string path = Write(std::string(app::MaxSettingsFileSize + 1, '#'));
  EXPECT_EQ(LoadMailSettings(path, settings), path + ": longer than 65536 bytes");
  ExpectSame(settings, BuiltIn());
}

}  // namespace
}  // namespace pithorama::test
