// Dialog-unit arithmetic and the resource tables, without a display.
#include "platform/dialog_template.h"
#include "platform/message_box.h"
#include "res/resource_ids.h"
#include "res/resources.h"
#include "res/templates.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <set>

namespace rv::test {
namespace {

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

TEST(DialogUnits, MulDivRoundsHalfAwayFromZero) {
    EXPECT_EQ(dlg::MulDiv(5, 3, 2), 8);   // 7.5
    EXPECT_EQ(dlg::MulDiv(7, 1, 4), 2);   // 1.75
    EXPECT_EQ(dlg::MulDiv(5, 1, 4), 1);   // 1.25
    EXPECT_EQ(dlg::MulDiv(-5, 3, 2), -8); // -7.5
    EXPECT_EQ(dlg::MulDiv(5, -3, 2), -8);
    EXPECT_EQ(dlg::MulDiv(1, 1, 0), -1);
    // Wide intermediate: no overflow of int.
    EXPECT_EQ(dlg::MulDiv(100000, 100000, 100000), 100000);
}

TEST(DialogUnits, ConversionUsesQuarterWidthAndEighthHeight) {
    dlg::BaseUnits b{6, 13};
    EXPECT_EQ(dlg::DluToPixelsX(468, b), 702); // 468*6/4
    EXPECT_EQ(dlg::DluToPixelsY(229, b), 372); // 229*13/8 = 372.125
    EXPECT_EQ(dlg::DluToPixelsX(21, b), 32);   // 31.5 rounds up
    EXPECT_EQ(dlg::DluToPixelsY(4, b), 7);     // 6.5 rounds up
    EXPECT_EQ(dlg::DluToPixelsY(3, b), 5);     // 4.875
}

TEST(DialogUnits, AverageWidthRoundsTheWayWindowsDoes) {
    EXPECT_EQ(dlg::AverageCharWidth(52 * 6), 6);
    EXPECT_EQ(dlg::AverageCharWidth(52 * 6 + 25), 6); // 6.48
    EXPECT_EQ(dlg::AverageCharWidth(52 * 6 + 26), 7); // 6.5
    EXPECT_EQ(dlg::AverageCharWidth(0), 0);
}

TEST(DialogUnits, PointSizesAt96Dpi) {
    EXPECT_EQ(dlg::PointsToPixels(9), 12);
    EXPECT_EQ(dlg::PointsToPixels(8), 11);
    EXPECT_EQ(dlg::PointsToPixels(11), 15);
    EXPECT_EQ(dlg::PointsToPixels(12), 16);
    EXPECT_EQ(dlg::PointsToPixels(15), 20);
    EXPECT_EQ(dlg::PointsToPixels(20), 27);
}

TEST(Resources, EveryTemplateExistsWithUniqueIdsAndControlsInsideTheDialog) {
    for (int id : {res::kAboutDialog, res::kMainDialog, res::kLoginDialog, res::kSettingsDialog,
                   res::kSuccessDialog, res::kNoticeDialog}) {
        const dlg::DialogTemplate* t = res::FindTemplate(id);
        ASSERT_NE(t, nullptr) << id;
        EXPECT_EQ(t->id, id);
        std::set<int> ids;
        for (const auto& c : t->controls) {
            if (c.id != dlg::kNoId) {
                EXPECT_TRUE(ids.insert(c.id).second) << "duplicate id " << c.id << " in " << id;
            }
            EXPECT_GE(c.x, 0);
            EXPECT_GE(c.y, 0);
            EXPECT_LE(c.x + c.cx, t->cx) << "control " << c.id << " of " << id;
            EXPECT_LE(c.y + c.cy, t->cy) << "control " << c.id << " of " << id;
        }
    }
    EXPECT_EQ(res::FindTemplate(999), nullptr);
}

TEST(Resources, MainTemplateHasTheWindowGeometryAndControls) {
    const auto* t = res::FindTemplate(res::kMainDialog);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(Utf8(t->caption), U(u8"TessamarIC卡证书自主延期客户端"));
    EXPECT_EQ(t->cx, 468);
    EXPECT_EQ(t->cy, 229);
    EXPECT_STREQ(t->face, "MS Shell Dlg");
    EXPECT_EQ(t->pointSize, 9);
    EXPECT_TRUE(t->style & dlg::kCentered);
    EXPECT_EQ(t->controls.size(), 21u);
    const auto* renew = t->Find(res::kRenewalButton);
    ASSERT_NE(renew, nullptr);
    EXPECT_TRUE(renew->style & dlg::kDisabled);
    EXPECT_EQ(renew->x, 92);
    EXPECT_EQ(renew->cx, 73);
    const auto* card = t->Find(res::kCardControl);
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->kind, dlg::ControlKind::CardControl);
    EXPECT_TRUE(card->style & dlg::kHidden);
    EXPECT_EQ(t->Find(dlg::kNoId), nullptr);
}

TEST(Resources, StringsMenuAndToolbar) {
    EXPECT_EQ(Utf8(res::LoadString(res::kIdsAboutBox)), U(u8"关于 Renvora(&A)..."));
    EXPECT_EQ(Utf8(res::LoadString(res::kIdsAppTitle)), U(u8"提示信息"));
    EXPECT_STREQ(res::LoadString(res::kIdsAppTitle), kAppTitle);
    EXPECT_STREQ(res::LoadString(12345), "");

    auto menu = res::MainMenu();
    ASSERT_EQ(menu.size(), 2u);
    EXPECT_EQ(menu[0].id, 32791);
    EXPECT_EQ(Utf8(menu[0].text), U(u8"登录"));
    EXPECT_EQ(menu[1].id, 32794);
    EXPECT_EQ(Utf8(menu[1].text), U(u8"网络测试"));

    auto tb = res::ToolbarButtons();
    ASSERT_EQ(tb.size(), 3u);
    EXPECT_EQ(tb[0].command, 32788);
    EXPECT_EQ(Utf8(tb[0].tooltip), U(u8"设置参数"));
    EXPECT_EQ(tb[1].command, 32793);
    EXPECT_EQ(Utf8(tb[1].tooltip), U(u8"登录"));
    EXPECT_EQ(tb[2].command, 32790);
    EXPECT_EQ(Utf8(tb[2].tooltip), U(u8"关于"));
}

} // namespace
} // namespace rv::test
