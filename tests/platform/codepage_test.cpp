#include "platform/codepage.h"
#include "platform/crt.h"
#include "platform/paths.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

namespace rv {
namespace {

TEST(CodePage, RoundTripsChineseThroughUtf8AndUtf16) {
    // Narrow literals are GBK in this build; u8 literals stay UTF-8.
    const std::string utf8 = reinterpret_cast<const char*>(u8"网络通讯正常！");
    std::string gbk = cp::Utf8ToGbk(utf8);
    EXPECT_EQ(gbk, "网络通讯正常！");
    EXPECT_EQ(cp::GbkToUtf8(gbk), utf8);
    EXPECT_EQ(cp::Utf16ToGbk(cp::GbkToUtf16(gbk)), gbk);
    EXPECT_EQ(cp::GbkToUtf16(gbk), u"网络通讯正常！");
}

TEST(CodePage, UnconvertibleInputBecomesQuestionMarksWithoutLosingTheRest) {
    // An emoji has no GBK form; a lone 0xFF byte is no GBK character.
    EXPECT_EQ(cp::Utf8ToGbk("a\xF0\x9F\x98\x80"
                            "b"),
              "a?b");
    EXPECT_EQ(cp::GbkToUtf8(std::string("x\xFFy", 3)), "x?y");
    EXPECT_EQ(cp::Utf8ToGbk(std::string("\xC3", 1)), "?");
}

TEST(CodePage, FindAsciiCharSkipsTrailBytesOfDoubleByteCharacters) {
    // "億" is 0x83 0x7C and "乗" is 0x81 0x5C in GBK.
    std::string text = test::Gbk(u8"億|乗\\");
    ASSERT_EQ(text, std::string("\x83\x7C|\x81\x5C\\"));
    EXPECT_EQ(cp::FindAsciiChar(text, '|'), 2u);
    EXPECT_EQ(cp::FindAsciiChar(text, '\\'), 5u);
    EXPECT_EQ(cp::FindAsciiChar(text, '|', 3), std::string::npos);
}

TEST(Crt, AtoiFollowsTheCRules) {
    EXPECT_EQ(Atoi("180"), 180);
    EXPECT_EQ(Atoi("180abc"), 180);
    EXPECT_EQ(Atoi("  -2x"), -2);
    EXPECT_EQ(Atoi("+7"), 7);
    EXPECT_EQ(Atoi("abc"), 0);
    EXPECT_EQ(Atoi(""), 0);
    EXPECT_EQ(Atoi("- 5"), 0);
    EXPECT_EQ(Atoi("99999999999999999999"), 2147483647);
    EXPECT_EQ(Atoi("-99999999999999999999"), -2147483647 - 1);
}

TEST(Paths, DrivePathsResolveUnderTheDriveRootAndRelativePathsStay) {
    test::TempWorkDir dir;
    EXPECT_EQ(paths::MapPath(paths::kTimeIni), dir.driveC().string() + "//Windows//time.ini");
    EXPECT_EQ(paths::MapPath("c:\\Windows\\x.ini"), dir.driveC().string() + "/Windows/x.ini");
    EXPECT_EQ(paths::MapPath(paths::kConfIniForLookup), "Config//conf.ini");
}

} // namespace
} // namespace rv
