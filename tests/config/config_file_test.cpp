// The key/value files: the lookup's line rules, the entry writer's bytes, the two lookups other parts use.
#include "config/config_file.h"
#include "platform/paths.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sys/stat.h>

namespace rv {
namespace {

namespace fs = std::filesystem;
using test::Gbk;

class ConfigFile : public ::testing::Test {
protected:
    void Conf(const std::string& bytes) { dir.Write("Config/conf.ini", bytes); }
    std::string Realm() { return ReadConfigValue(paths::kConfIniForLookup, "realmName"); }
    void TimeIni(const std::string& bytes) { dir.Write("drive_c/Windows/time.ini", bytes); }

    test::TempWorkDir dir;
    test::CoreFixture core;
};

TEST_F(ConfigFile, OnlyRealmNameLineWithOrWithoutFinalNewline) {
    for (const char* bytes :
         {"realmName=https://renew.example:8443\r\n", "realmName=https://renew.example:8443\n",
          "realmName=https://renew.example:8443"}) {
        SCOPED_TRACE(bytes);
        Conf(bytes);
        std::string address = "old";
        EXPECT_EQ(GetServerAddress(address), 0);
        EXPECT_EQ(address, "https://renew.example:8443");
    }
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(ConfigFile, FirstMatchingEntryWins) {
    Conf("realmName=http://first\r\nrealmName=http://second\r\n");
    EXPECT_EQ(Realm(), "http://first");
}

TEST_F(ConfigFile, KeysAreExactAndCaseSensitive) {
    // A space before "=" belongs to the key, a different case is a different key; neither matches, and
    // since both lines hold "=", the search goes on to the real entry.
    Conf("realmName "
         "=http://spaced\r\nRealmName=http://upper\r\nrealmname=http://lower\r\nrealmName=http://real\r\n");
    EXPECT_EQ(Realm(), "http://real");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "realmName "), "http://spaced");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "RealmName"), "http://upper");
    // Nothing is trimmed off the value either.
    Conf("ip= 10.0.0.1 \r\n");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "ip"), " 10.0.0.1 ");
}

TEST_F(ConfigFile, ValueKeepsEverythingAfterTheFirstEqualsSign) {
    Conf("realmName=http://host/a?b=c=d\r\n");
    EXPECT_EQ(Realm(), "http://host/a?b=c=d");
}

TEST_F(ConfigFile, LineWithoutEqualsSignEndsTheSearch) {
    for (const char* bytes : {"\r\nrealmName=http://x\r\n", "[server]\r\nrealmName=http://x\r\n",
                              "ip=1.2.3.4\r\n# remark\r\nrealmName=http://x\r\n"}) {
        SCOPED_TRACE(bytes);
        Conf(bytes);
        std::string address = "kept";
        EXPECT_EQ(GetServerAddress(address), -1);
        EXPECT_EQ(address, "kept");
    }
}

TEST_F(ConfigFile, OtherKeysBeforeTheEntryAreSkipped) {
    Conf("ip=192.168.0.1\r\nport=80\r\nrealmName=http://after\r\n");
    EXPECT_EQ(Realm(), "http://after");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "port"), "80");
}

TEST_F(ConfigFile, EmptyValueIsLikeAMissingKey) {
    Conf("realmName=\r\nrealmName=http://second\r\n");
    std::string address = "kept";
    EXPECT_EQ(GetServerAddress(address), -1);
    EXPECT_EQ(address, "kept");
}

TEST_F(ConfigFile, CrLfAndLfGiveTheSameValues) {
    const std::string lf = "ip=10.1.2.3\nport=8080\nrealmName=http://h:1\n";
    std::string crlf;
    for (char c : lf) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    for (const std::string& bytes : {lf, crlf}) {
        Conf(bytes);
        EXPECT_EQ(ReadConfigValue(paths::kConfIni, "ip"), "10.1.2.3");
        EXPECT_EQ(ReadConfigValue(paths::kConfIni, "port"), "8080");
        EXPECT_EQ(Realm(), "http://h:1");
    }
    // Only a CR right before LF is a line end; any other CR is a byte of the value.
    Conf("realmName=a\rb\r\r\n");
    EXPECT_EQ(Realm(), "a\rb\r");
}

TEST_F(ConfigFile, CrOnlyFileIsOneLongLine) {
    Conf("ip=1.1.1.1\rrealmName=http://x\r");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "ip"), "1.1.1.1\rrealmName=http://x\r");
    EXPECT_EQ(Realm(), "");
}

TEST_F(ConfigFile, OverLongLinesTakePartWithTheirFirst999Characters) {
    // 1200 characters without "=" among the first 999: nothing can be found, not even later keys.
    Conf(std::string(1100, 'x') + "=y" + std::string(98, 'z') + "\r\nrealmName=http://x\r\n");
    EXPECT_EQ(Realm(), "");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, std::string(1100, 'x').c_str()), "");

    // The value of a matching over-long line is cut at 999 characters of the line.
    Conf("realmName=" + std::string(1190, 'v') + "\r\n");
    EXPECT_EQ(Realm(), std::string(999 - 10, 'v'));

    // 999 characters plus CR LF is not over-long: the next line is still read.
    Conf("k=" + std::string(997, 'a') + "\r\nrealmName=http://next\r\n");
    EXPECT_EQ(Realm(), "http://next");
    Conf("k=" + std::string(997, 'a') + "\nrealmName=http://next\n");
    EXPECT_EQ(Realm(), "http://next");

    // 1000 characters is: the read after it yields an empty line and the search ends.
    Conf("k=" + std::string(998, 'a') + "\r\nrealmName=http://next\r\n");
    EXPECT_EQ(Realm(), "");
}

TEST_F(ConfigFile, OddBytesNeverBreakTheLookup) {
    // A byte-order mark belongs to the first key.
    Conf("\xEF\xBB\xBFrealmName=http://bom\r\nrealmName=http://plain\r\n");
    EXPECT_EQ(Realm(), "http://plain");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "\xEF\xBB\xBFrealmName"), "http://bom");

    // A NUL byte ends the line as the lookup sees it.
    Conf(std::string("realmName=http://a\0tail\r\n", 25));
    EXPECT_EQ(Realm(), "http://a");
    Conf(std::string("\0realmName=http://a\r\n", 21));
    EXPECT_EQ(Realm(), "");

    // Random binary content: some answer, no crash, no hang.
    std::mt19937 rng(7);
    std::string noise(200000, '\0');
    for (char& c : noise) {
        c = static_cast<char>(rng() & 0xFF);
    }
    Conf(noise);
    (void)Realm();
    Conf("");
    EXPECT_EQ(Realm(), "");
}

TEST_F(ConfigFile, UnopenableFilesReadAsEmptyWithoutMessages) {
    EXPECT_EQ(Realm(), ""); // no Config at all
    fs::create_directories(dir.path() / "Config" / "conf.ini");
    EXPECT_EQ(Realm(), ""); // a directory in its place
    std::string address = "kept";
    EXPECT_EQ(GetServerAddress(address), -1);
    EXPECT_EQ(address, "kept");
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(ConfigFile, FifoInPlaceOfTheFileDoesNotBlock) {
    fs::create_directories(dir.path() / "Config");
    ASSERT_EQ(::mkfifo((dir.path() / "Config" / "conf.ini").c_str(), 0600), 0);
    EXPECT_EQ(Realm(), "");
}

TEST_F(ConfigFile, NothingIsCached) {
    Conf("realmName=http://one\r\n");
    EXPECT_EQ(Realm(), "http://one");
    Conf("realmName=http://two\r\n");
    EXPECT_EQ(Realm(), "http://two");
}

TEST_F(ConfigFile, MaxDayFollowsTheAtoiRules) {
    EXPECT_EQ(ReadMaxDay(), 0); // no time.ini
    const std::pair<const char*, int32_t> cases[] = {
        {"MaxDay=180\r\n", 180}, {"MaxDay=180abc\r\n", 180}, {"MaxDay=abc180\r\n", 0},
        {"MaxDay=\r\n", 0},      {"MaxDay= 42\r\n", 42},     {"MaxDay=-5\r\n", -5},
        {"maxday=180\r\n", 0},   {"MaxDay=180", 180},        {"MaxDay=99999999999\r\n", 2147483647},
    };
    for (const auto& [bytes, expected] : cases) {
        SCOPED_TRACE(bytes);
        TimeIni(bytes);
        EXPECT_EQ(ReadMaxDay(), expected);
    }
}

TEST_F(ConfigFile, TimeIniLivesUnderTheDriveRoot) {
    TimeIni("MaxDay=30\r\n");
    EXPECT_EQ(paths::MapPath(paths::kTimeIni), dir.driveC().string() + "//Windows//time.ini");
    EXPECT_EQ(ReadMaxDay(), 30);
    // A time.ini in the working directory is not the one.
    fs::remove(dir.driveC() / "Windows" / "time.ini");
    dir.Write("Windows/time.ini", "MaxDay=30\r\n");
    EXPECT_EQ(ReadMaxDay(), 0);
}

TEST_F(ConfigFile, WriterAppendsExactlyKeyEqualsValueCrLf) {
    Conf("");
    EXPECT_EQ(WriteConfigEntry("port", "1234"), 0);
    EXPECT_EQ(dir.Read("Config/conf.ini"), "port=1234\r\n");
    EXPECT_EQ(WriteConfigEntry("ip", ""), 0);
    EXPECT_EQ(dir.Read("Config/conf.ini"), "port=1234\r\nip=\r\n");
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(ConfigFile, WriterCreatesTheFileButNotTheDirectory) {
    fs::create_directories(dir.path() / "Config");
    EXPECT_EQ(WriteConfigEntry("ip", "1.2.3.4"), 0);
    EXPECT_EQ(dir.Read("Config/conf.ini"), "ip=1.2.3.4\r\n");

    fs::remove_all(dir.path() / "Config");
    EXPECT_EQ(WriteConfigEntry("ip", "1.2.3.4"), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "Config"));
    EXPECT_EQ(core.boxes.TextsUtf8(),
              std::vector<std::string>{reinterpret_cast<const char*>(u8"配置文件不存在！")});
}

TEST_F(ConfigFile, WrittenEntriesReadBack) {
    Conf("realmName=http://h\r\n");
    WriteConfigEntry("ip", "10.0.0.7");
    WriteConfigEntry("port", "0443");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "ip"), "10.0.0.7");
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "port"), "0443");
    EXPECT_EQ(Realm(), "http://h");
}

TEST_F(ConfigFile, SettingsReaderReadsLikeTheLookup) {
    Conf("ip=1.2.3.4\r\nport=\r\n");
    EXPECT_EQ(ReadSettingsValue(paths::kConfIni, "ip"), "1.2.3.4");
    EXPECT_EQ(ReadSettingsValue(paths::kConfIni, "port"), "");
    EXPECT_EQ(ReadSettingsValue(paths::kConfIni, "realmName"), "");
    EXPECT_TRUE(core.boxes.Entries().empty());
}

using ConfigFileDeathTest = ConfigFile;

TEST_F(ConfigFileDeathTest, SettingsReaderEndsTheProcessWhenTheFileCannotBeOpened) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The message goes through the default box, which writes it to stderr.
    InstallMessageBox(nullptr);
    EXPECT_EXIT(ReadSettingsValue(paths::kConfIni, "ip"), ::testing::ExitedWithCode(1),
                reinterpret_cast<const char*>(u8"打开文件失败！"));
    InstallMessageBox(&core.boxes);
}

} // namespace
} // namespace rv
