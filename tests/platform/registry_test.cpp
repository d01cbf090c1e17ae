// The registry stand-in as the registry behaves: default values within the caller's buffer, names
// compared without case in every component, a key without a default value read as an empty value.
#include "platform/registry.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace rv {
namespace {

TEST(Registry, DefaultValueObeysTheBufferSizeLikeRegQueryValue) {
    test::TempWorkDir dir;
    reg::WriteValue(dir.classesRoot(), "CLSID\\{X}", "", std::string(299, 'a'));
    char buf[300];
    long size = sizeof buf;
    EXPECT_EQ(reg::RegQueryValueA("CLSID\\{X}", buf, &size), reg::kErrorSuccess);
    EXPECT_EQ(std::string(buf), std::string(299, 'a'));

    reg::WriteValue(dir.classesRoot(), "CLSID\\{X}", "", std::string(300, 'a'));
    size = sizeof buf;
    EXPECT_EQ(reg::RegQueryValueA("CLSID\\{X}", buf, &size), reg::kErrorMoreData);
    EXPECT_EQ(size, 301);

    size = sizeof buf;
    EXPECT_EQ(reg::RegQueryValueA("CLSID\\{Missing}", buf, &size), reg::kErrorFileNotFound);
}

// A registration names the library the client loads: every user reads it, no other user may write it,
// whatever the umask of the one who registers.
TEST(Registry, RegistrationsAreReadableByAllAndWritableByTheirOwnerOnly) {
    test::TempWorkDir dir;
    auto modeOf = [](const std::filesystem::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    for (mode_t mask : {mode_t{0}, mode_t{077}}) {
        const mode_t old = ::umask(mask);
        const std::filesystem::path root = dir.path() / ("root-" + std::to_string(mask));
        reg::WriteValue(root, "CLSID\\{X}\\InprocServer32", "", "/usr/lib/x.so");
        ::umask(old);
        for (auto it = std::filesystem::recursive_directory_iterator(root);
             it != std::filesystem::recursive_directory_iterator(); ++it) {
            EXPECT_EQ(modeOf(it->path()), it->is_directory() ? 0755u : 0644u) << it->path();
        }
        EXPECT_EQ(modeOf(root), 0755u);
    }
}

TEST(Registry, NamesCompareWithoutCaseAndAKeyWithoutDefaultValueReadsEmpty) {
    test::TempWorkDir dir;
    // Registered in lower case, looked up in upper case, in every component.
    reg::WriteValue(dir.classesRoot(), "clsid\\{5b3d91e2-aa}", "", "card control");
    reg::WriteValue(dir.classesRoot(), "clsid\\{5b3d91e2-aa}\\inprocserver32", "", "/x/card.so");
    reg::WriteValue(dir.classesRoot(), "clsid\\{5b3d91e2-aa}", "cardimage", "/x/card.json");
    char buf[300];
    long size = sizeof buf;
    EXPECT_EQ(reg::RegQueryValueA("CLSID\\{5B3D91E2-AA}", buf, &size), reg::kErrorSuccess);
    EXPECT_EQ(std::string(buf), "card control");
    EXPECT_EQ(reg::ReadValue("CLSID\\{5B3D91E2-AA}\\InprocServer32"), "/x/card.so");
    EXPECT_EQ(reg::ReadValue("Clsid\\{5B3D91E2-aa}", "CardImage"), "/x/card.json");

    // A key that exists without a default value: success, an empty value of one byte.
    std::filesystem::create_directories(dir.classesRoot() / "CLSID" / "{Bare}");
    size = sizeof buf;
    buf[0] = 'x';
    EXPECT_EQ(reg::RegQueryValueA("CLSID\\{BARE}", buf, &size), reg::kErrorSuccess);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(buf[0], '\0');
    // A named value that is not there is still missing.
    EXPECT_EQ(reg::ReadValue("CLSID\\{Bare}", "CardImage"), std::nullopt);
}

} // namespace
} // namespace rv
