// The settings dialog's file work: first run, storing, the range check, and a conf.ini that must survive
// every failure byte for byte.
#include "config/config_file.h"
#include "config/settings_store.h"
#include "platform/paths.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rv {
namespace {

namespace fs = std::filesystem;

std::string U(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}
const std::string kStored = U(u8"配置IP地址、端口号成功！");
const std::string kNotStored = U(u8"配置IP地址、端口号失败，请重新配置！");
const std::string kRange = U(u8"请输入0-65535之间的数字,请重新输入！");

class SettingsStore : public ::testing::Test {
protected:
    std::string Conf() const { return dir.Read("Config/conf.ini"); }
    void SetConf(const std::string& bytes) { dir.Write("Config/conf.ini", bytes); }
    std::string Ip() { return ReadConfigValue(paths::kConfIni, "ip"); }
    std::string Port() { return ReadConfigValue(paths::kConfIni, "port"); }
    // Files in Config/ besides conf.ini (a temporary file left behind would show here).
    std::vector<std::string> Strays() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir.path() / "Config")) {
            if (e.path().filename() != "conf.ini") {
                out.push_back(e.path().filename().string());
            }
        }
        return out;
    }

    test::TempWorkDir dir;
    test::CoreFixture core;
};

TEST_F(SettingsStore, FirstRunCreatesDirectoryAndEmptyFileSilently) {
    StoredSettings s = PrepareSettingsFiles();
    EXPECT_TRUE(fs::is_directory(dir.path() / "Config"));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "Config" / "conf.ini"));
    EXPECT_EQ(Conf(), "");
    EXPECT_EQ(s.ip, "");
    EXPECT_EQ(s.port, "");
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(SettingsStore, ExistingFileIsReadAndNotTouched) {
    const std::string bytes = "realmName=https://r:8443\r\nip=10.20.30.40\r\nport=0080\r\n";
    SetConf(bytes);
    StoredSettings s = PrepareSettingsFiles();
    EXPECT_EQ(s.ip, "10.20.30.40");
    EXPECT_EQ(s.port, "0080");
    EXPECT_EQ(Conf(), bytes);
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(SettingsStore, StoredValuesComeBack) {
    PrepareSettingsFiles();
    EXPECT_EQ(StoreSettings({192, 168, 1, 20}, "8080"), StoreResult::Stored);
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{kStored});
    EXPECT_EQ(Conf(), "ip=192.168.1.20\r\nport=8080\r\n");
    StoredSettings s = PrepareSettingsFiles();
    EXPECT_EQ(s.ip, "192.168.1.20");
    EXPECT_EQ(s.port, "8080");
}

TEST_F(SettingsStore, EveryOtherLineSurvivesAnyNumberOfStoresInPlace) {
    SetConf("realmName=https://renew.example:8443\r\nip=1.1.1.1\r\nextra=a=b\r\nport=1\r\nlf=only\n");
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(StoreSettings({10, 0, 0, i}, std::to_string(1000 + i)), StoreResult::Stored);
        EXPECT_EQ(Ip(), "10.0.0." + std::to_string(i));
        EXPECT_EQ(Port(), std::to_string(1000 + i));
        std::string address;
        EXPECT_EQ(GetServerAddress(address), 0);
        EXPECT_EQ(address, "https://renew.example:8443");
    }
    EXPECT_EQ(Conf(),
              "realmName=https://renew.example:8443\r\nextra=a=b\r\nlf=only\nip=10.0.0.4\r\nport=1004\r\n");
    EXPECT_TRUE(Strays().empty());
}

TEST_F(SettingsStore, LastLineWithoutNewlineIsNotJoinedToTheNewEntry) {
    SetConf("realmName=http://h:1");
    ASSERT_EQ(StoreSettings({1, 2, 3, 4}, "5"), StoreResult::Stored);
    EXPECT_EQ(Conf(), "realmName=http://h:1\r\nip=1.2.3.4\r\nport=5\r\n");
    std::string address;
    EXPECT_EQ(GetServerAddress(address), 0);
    EXPECT_EQ(address, "http://h:1");
}

TEST_F(SettingsStore, TrailingBlankLinesWouldHideTheNewEntriesSoTheyGo) {
    SetConf("realmName=http://h\r\n\r\n\n");
    ASSERT_EQ(StoreSettings({1, 2, 3, 4}, "5"), StoreResult::Stored);
    EXPECT_EQ(Conf(), "realmName=http://h\r\nip=1.2.3.4\r\nport=5\r\n");
}

TEST_F(SettingsStore, EntriesThatCannotBeReadBackAreReportedAsFailure) {
    // A remark line in the middle ends every lookup before the appended entries.
    SetConf("realmName=http://h\r\n# remark\r\nother=1\r\n");
    EXPECT_EQ(StoreSettings({1, 2, 3, 4}, "5"), StoreResult::Failed);
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{kNotStored});
    EXPECT_EQ(Conf(), "realmName=http://h\r\n# remark\r\nother=1\r\nip=1.2.3.4\r\nport=5\r\n");
}

TEST_F(SettingsStore, PortRangeAndLeadingZeros) {
    SetConf("realmName=http://h\r\n");
    EXPECT_EQ(StoreSettings({1, 1, 1, 1}, "65535"), StoreResult::Stored);
    EXPECT_EQ(Port(), "65535");
    EXPECT_EQ(StoreSettings({1, 1, 1, 1}, "0"), StoreResult::Stored);
    EXPECT_EQ(Port(), "0");
    EXPECT_EQ(StoreSettings({1, 1, 1, 1}, "00080"), StoreResult::Stored);
    EXPECT_EQ(Port(), "00080");
    EXPECT_EQ(core.boxes.TextsUtf8(), (std::vector<std::string>{kStored, kStored, kStored}));
}

TEST_F(SettingsStore, RefusedPortLeavesTheFileByteIdentical) {
    const std::string bytes = "realmName=http://h\r\nip=9.9.9.9\r\nport=99\r\n";
    SetConf(bytes);
    for (const char* port : {"65536", "99999", "-1", "80\r\nrealmName=http://evil", "8 0", "+80", " 80"}) {
        SCOPED_TRACE(port);
        core.boxes.Clear();
        EXPECT_EQ(StoreSettings({1, 2, 3, 4}, port), StoreResult::PortRefused);
        EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{kRange});
        EXPECT_EQ(Conf(), bytes);
    }
}

TEST_F(SettingsStore, BlankAddressIsStoredAsZeros) {
    EXPECT_EQ(FormatIpAddress({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(FormatIpAddress({255, 0, 17, 3}), "255.0.17.3");
    PrepareSettingsFiles();
    EXPECT_EQ(StoreSettings({0, 0, 0, 0}, "21"), StoreResult::Stored);
    EXPECT_EQ(Ip(), "0.0.0.0");
}

TEST_F(SettingsStore, EmptyPortIsStoredEmptyWithTheFailureMessage) {
    SetConf("realmName=http://h\r\nport=80\r\n");
    EXPECT_EQ(StoreSettings({1, 2, 3, 4}, ""), StoreResult::Failed);
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{kNotStored});
    EXPECT_EQ(Conf(), "realmName=http://h\r\nip=1.2.3.4\r\nport=\r\n");
}

TEST_F(SettingsStore, ReadOnlyFileIsNeitherReplacedNorAppendedTo) {
    const std::string bytes = "realmName=http://h\r\nip=9.9.9.9\r\nport=99\r\n";
    auto path = dir.Write("Config/conf.ini", bytes);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(StoreSettings({1, 2, 3, 4}, "80"), StoreResult::Failed);
    EXPECT_EQ(Conf(), bytes);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ASSERT_EQ(core.boxes.Entries().size(), 1u);
    EXPECT_NE(core.boxes.TextsUtf8()[0], kStored);
    EXPECT_TRUE(Strays().empty());
}

TEST_F(SettingsStore, TemporaryFileThatCannotBeCreatedLeavesTheFileAlone) {
    const std::string bytes = "realmName=http://h\r\nip=9.9.9.9\r\nport=99\r\n";
    SetConf(bytes);
    // A directory where the rewrite puts its temporary file.
    fs::create_directories(dir.path() / "Config" / ("conf.ini." + std::to_string(::getpid()) + ".tmp"));
    EXPECT_EQ(StoreSettings({1, 2, 3, 4}, "80"), StoreResult::Failed);
    EXPECT_EQ(Conf(), bytes);
    ASSERT_EQ(core.boxes.Entries().size(), 1u);
    EXPECT_NE(core.boxes.TextsUtf8()[0], kStored);
}

TEST_F(SettingsStore, WriteFailingHalfwayLeavesTheFileAloneAndNoTemporaryFile) {
    std::string bytes = "realmName=http://h\r\nip=9.9.9.9\r\nport=99\r\n";
    bytes += "padding=" + std::string(4000, 'p') + "\r\n";
    SetConf(bytes);
    // Files may not grow beyond 1000 bytes: the temporary copy breaks off in the middle.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    StoreResult r = StoreSettings({1, 2, 3, 4}, "80");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(r, StoreResult::Failed);
    EXPECT_EQ(Conf(), bytes);
    EXPECT_TRUE(Strays().empty());
    ASSERT_EQ(core.boxes.Entries().size(), 1u);
    EXPECT_NE(core.boxes.TextsUtf8()[0], kStored);
}

TEST_F(SettingsStore, RewriteKeepsThePermissionsAndFollowsALink) {
    auto real = dir.Write("elsewhere/conf.ini", "realmName=http://h\r\nport=1\r\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_directories(dir.path() / "Config");
    fs::create_symlink(real, dir.path() / "Config" / "conf.ini");
    ASSERT_EQ(StoreSettings({1, 2, 3, 4}, "5"), StoreResult::Stored);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "Config" / "conf.ini"));
    EXPECT_EQ(dir.Read("elsewhere/conf.ini"), "realmName=http://h\r\nip=1.2.3.4\r\nport=5\r\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(SettingsStore, MissingDirectoryAtStoreTimeIsReportedNotCreated) {
    EXPECT_EQ(StoreSettings({1, 2, 3, 4}, "80"), StoreResult::Failed);
    EXPECT_FALSE(fs::exists(dir.path() / "Config"));
    EXPECT_EQ(core.boxes.TextsUtf8(),
              (std::vector<std::string>{U(u8"配置文件不存在！"), U(u8"配置文件不存在！"), kNotStored}));
}

using SettingsStoreDeathTest = SettingsStore;

TEST_F(SettingsStoreDeathTest, ConfigPathThatIsAFileEndsWithTheReadFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    dir.Write("Config", "not a directory");
    InstallMessageBox(nullptr); // the default box writes the messages to stderr
    EXPECT_EXIT(
        PrepareSettingsFiles(), ::testing::ExitedWithCode(1),
        reinterpret_cast<const char*>(u8"创建配置文件目录失败！.*\n.*配置文件不存在！.*\n.*打开文件失败！"));
    InstallMessageBox(&core.boxes);
    EXPECT_EQ(dir.Read("Config"), "not a directory");
}

} // namespace
} // namespace rv
