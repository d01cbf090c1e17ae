// The per-user folder of a menu launch: made from the system templates on first start, following a
// template the user's copy still matches, never overwriting what the user changed, locked against a
// second client, and refusing with a clear text when the templates or the home folder fail it.
#include "config/user_folder.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace rv {
namespace {

namespace fs = std::filesystem;
using test::Utf8;

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

class UserFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.Write("etc/conf.ini", "realmName=https://renew.example:8443\n");
        dir.Write("etc/time.ini", "MaxDay=180\n");
    }
    void TearDown() override {
        for (config::UserFolder& f : held) {
            ::close(f.lockFd);
        }
    }
    bool Prepare(std::string& message, const fs::path& folder = {}) {
        config::UserFolder f;
        bool ok =
            config::PrepareUserFolder(dir.path() / "etc", folder.empty() ? home() : folder, {}, f, message);
        if (ok) {
            held.push_back(f);
        }
        return ok;
    }
    fs::path home() const { return dir.path() / "home" / ".local" / "share" / "renvora"; }

    test::TempWorkDir dir;
    std::vector<config::UserFolder> held;
};

TEST_F(UserFolderTest, FirstStartCopiesTheTemplatesAndASecondClientIsRefusedUntilTheFirstEnds) {
    std::string message;
    // Made under umask 000, the folders are the user's alone all the same, and no file is writable by others.
    const mode_t oldMask = ::umask(0);
    const bool prepared = Prepare(message);
    ::umask(oldMask);
    ASSERT_TRUE(prepared) << Utf8(message);
    for (auto it = fs::recursive_directory_iterator(dir.path() / "home");
         it != fs::recursive_directory_iterator(); ++it) {
        struct stat st {};
        ASSERT_EQ(::lstat(it->path().c_str(), &st), 0);
        if (S_ISDIR(st.st_mode)) {
            EXPECT_EQ(st.st_mode & 07777, 0700u) << it->path();
        } else {
            EXPECT_EQ(st.st_mode & 07022, 0u) << it->path();
        }
    }
    EXPECT_EQ(dir.Read("home/.local/share/renvora/Config/conf.ini"),
              "realmName=https://renew.example:8443\n");
    EXPECT_EQ(dir.Read("home/.local/share/renvora/drive_c/Windows/time.ini"), "MaxDay=180\n");
    EXPECT_EQ(held[0].driveC, home() / "drive_c");
    // No temporary file is left beside the copy and the record of what was seeded.
    EXPECT_EQ(std::distance(fs::directory_iterator(home() / "Config"), fs::directory_iterator()), 2);

    // A second client on the same folder, while the first holds it.
    dir.Write("home/.local/share/renvora/Config/conf.ini", "realmName=https://mine.example\n");
    EXPECT_FALSE(Prepare(message));
    EXPECT_EQ(Utf8(message), U(u8"客户端已在运行，请勿重复启动！"));

    // The first ends; the next start gets the folder, and the user's edit stays.
    ::close(held[0].lockFd);
    held.clear();
    dir.Write("etc/conf.ini", "realmName=https://changed-template.example\n");
    ASSERT_TRUE(Prepare(message)) << Utf8(message);
    EXPECT_EQ(dir.Read("home/.local/share/renvora/Config/conf.ini"), "realmName=https://mine.example\n");
}

TEST_F(UserFolderTest, AnUnchangedCopyFollowsTheTemplateAndAChangedOneNever) {
    std::string message;
    ASSERT_TRUE(Prepare(message)) << Utf8(message);
    ::close(held[0].lockFd);
    held.clear();
    // The administrator points the service elsewhere after the user's first start.
    dir.Write("etc/conf.ini", "realmName=https://real-service.example\n");
    dir.Write("etc/time.ini", "MaxDay=90\n");
    ASSERT_TRUE(Prepare(message)) << Utf8(message);
    EXPECT_EQ(dir.Read("home/.local/share/renvora/Config/conf.ini"),
              "realmName=https://real-service.example\n");
    EXPECT_EQ(dir.Read("home/.local/share/renvora/drive_c/Windows/time.ini"), "MaxDay=90\n");
    EXPECT_TRUE(held[0].warning.empty()) << held[0].warning;
    ::close(held[0].lockFd);
    held.clear();
    // The user sets a port; the next template edit leaves the user's copy, the unchanged one follows.
    dir.Write("home/.local/share/renvora/Config/conf.ini",
              "realmName=https://real-service.example\nport=8443\n");
    dir.Write("etc/conf.ini", "realmName=https://moved.example\n");
    dir.Write("etc/time.ini", "MaxDay=60\n");
    ASSERT_TRUE(Prepare(message)) << Utf8(message);
    EXPECT_EQ(dir.Read("home/.local/share/renvora/Config/conf.ini"),
              "realmName=https://real-service.example\nport=8443\n");
    EXPECT_EQ(dir.Read("home/.local/share/renvora/drive_c/Windows/time.ini"), "MaxDay=60\n");
    ::close(held[0].lockFd);
    held.clear();

    // A lock that cannot be had for another reason than a running client (here a folder in the lock
    // file's place; on NFS, no lock service) does not stop the start: it goes on without, and says so.
    fs::remove(home() / "client.lock");
    fs::create_directory(home() / "client.lock");
    ASSERT_TRUE(Prepare(message)) << Utf8(message);
    EXPECT_EQ(held[0].lockFd, -1);
    EXPECT_NE(held[0].warning.find("without the check against a second client"), std::string::npos)
        << held[0].warning;
}

TEST_F(UserFolderTest,
       MissingOrUnreadableTemplatesAndAnUnwritableHomeAreRefusedWithoutTouchingTheUsersFiles) {
    std::string message;
    // The user has a conf.ini but no time.ini, and the time template is gone: refused, conf.ini kept.
    dir.Write("home/.local/share/renvora/Config/conf.ini", "realmName=https://mine.example\n");
    fs::remove(dir.path() / "etc" / "time.ini");
    EXPECT_FALSE(Prepare(message));
    EXPECT_EQ(Utf8(message), U(u8"找不到系统配置模板") + (dir.path() / "etc" / "time.ini").string() +
                                 U(u8"，请重新安装本程序！"));
    EXPECT_EQ(dir.Read("home/.local/share/renvora/Config/conf.ini"), "realmName=https://mine.example\n");
    EXPECT_FALSE(fs::exists(home() / "drive_c" / "Windows" / "time.ini"));

    // A template that cannot be read (here a folder in its place) is named, with the reason.
    fs::create_directory(dir.path() / "etc" / "time.ini");
    EXPECT_FALSE(Prepare(message));
    EXPECT_EQ(Utf8(message).rfind(
                  U(u8"无法读取系统配置模板") + (dir.path() / "etc" / "time.ini").string() + U(u8"（"), 0),
              0u)
        << Utf8(message);

    // A home where the folder cannot be made (a file stands where a folder must go; works as root too).
    dir.Write("blocked", "a file\n");
    EXPECT_FALSE(Prepare(message, dir.path() / "blocked" / "renvora"));
    EXPECT_EQ(Utf8(message).rfind(
                  U(u8"无法创建用户文件夹") + (dir.path() / "blocked" / "renvora").string() + U(u8"（"), 0),
              0u)
        << Utf8(message);
    EXPECT_EQ(dir.Read("blocked"), "a file\n");
}

} // namespace
} // namespace rv
