#include "res/templates.h"

#include "res/resource_ids.h"

#include <array>

namespace rv::res {
namespace {

using dlg::ControlKind;
using dlg::kNoId;
using namespace dlg; // style flags

// What a resource script's statements imply: push buttons and edits are tab stops, an edit has a
// border and scrolls horizontally unless it says otherwise, a static text starts a group.
constexpr uint32_t kButton = kTabStop;
constexpr uint32_t kEditText = kBorder | kTabStop | kAutoHScroll;
constexpr uint32_t kReadOnlyEdit = kEditText | kReadOnly;
constexpr uint32_t kLText = kLeft | kWraps | kGroup;
constexpr uint32_t kCText = kCenter | kWraps | kGroup;

// About box.
constexpr std::array kAbout{
    ControlTemplate{kNoId, ControlKind::Icon, "", 14, 14, 21, 20, 0, 0},
    ControlTemplate{kNoId, ControlKind::Static, "法人卡自主延期客户端，1.0 版", 42, 14, 121, 8, kLText, 0},
    ControlTemplate{kNoId, ControlKind::Static, "延期过程中请勿插拔IC卡。", 42, 26, 121, 8, kLText, 0},
    ControlTemplate{kIdOk, ControlKind::DefPushButton, "确定", 113, 41, 50, 14, kButton | kGroup, 0},
};

// Main window.
constexpr std::array kMain{
    ControlTemplate{kRenewalButton, ControlKind::PushButton, "法人卡延期", 92, 192, 73, 21,
                    kButton | kDisabled, 0},
    ControlTemplate{kExitButton, ControlKind::PushButton, "退出", 279, 192, 57, 21, kButton, 0},
    ControlTemplate{kNoId, ControlKind::GroupBox, "用户信息", 14, 7, 439, 180, 0, 0},
    ControlTemplate{kLabelApplicantName, ControlKind::Static, "申请者名称", 40, 33, 58, 19, kLText, 0},
    ControlTemplate{kEditApplicantName, ControlKind::Edit, "", 111, 32, 110, 16, kReadOnlyEdit, 0},
    ControlTemplate{kLabelCertSeqNo, ControlKind::Static, "用户证书号", 267, 35, 61, 15, kLText, 0},
    ControlTemplate{kEditCertSeqNo, ControlKind::Edit, "", 333, 33, 112, 19, kReadOnlyEdit, 0},
    ControlTemplate{kLabelIdNumber, ControlKind::Static, "证件号码", 48, 73, 49, 17, kLText, 0},
    ControlTemplate{kEditIdNumber, ControlKind::Edit, "", 111, 71, 110, 17, kReadOnlyEdit, 0},
    ControlTemplate{kLabelCardNumber, ControlKind::Static, "IC卡号", 284, 68, 42, 16, kLText, 0},
    ControlTemplate{kEditCardNumber, ControlKind::Edit, "", 333, 66, 113, 20, kReadOnlyEdit, 0},
    ControlTemplate{kLabelUnitName, ControlKind::Static, "单位名称", 48, 108, 51, 16, kLText, 0},
    ControlTemplate{kEditUnitName, ControlKind::Edit, "", 111, 105, 110, 17, kReadOnlyEdit, 0},
    ControlTemplate{kLabelCardType, ControlKind::Static, "卡类型", 284, 105, 45, 20, kLText, 0},
    ControlTemplate{kEditCardType, ControlKind::Edit, "", 333, 101, 113, 19, kReadOnlyEdit, 0},
    ControlTemplate{kLabelValidFrom, ControlKind::Static, "证书有效期开始时间", 16, 141, 90, 21, kCText, 0},
    ControlTemplate{kEditValidFrom, ControlKind::Edit, "", 111, 139, 109, 18, kReadOnlyEdit, 0},
    ControlTemplate{kLabelValidTo, ControlKind::Static, "证书有效期结束时间", 224, 141, 105, 21, kCText, 0},
    ControlTemplate{kEditValidTo, ControlKind::Edit, "", 333, 136, 114, 20, kReadOnlyEdit, 0},
    ControlTemplate{
        kNoticeText, ControlKind::Static,
        "提示：在点击法人卡延期按钮后，严禁进行插拔卡、关闭系统、注销用户、重启电脑等可能影响IC卡延期的"
        "操作，否则有可能导致IC卡失效。",
        20, 165, 426, 17, kLText, 0},
    ControlTemplate{kCardControl, ControlKind::CardControl, "", 367, 194, 21, 13, kHidden, 0},
};

// Login dialog.
constexpr std::array kLogin{
    ControlTemplate{kNoId, ControlKind::Static, "请输入口令：", 19, 22, 49, 8, kLText, 0},
    ControlTemplate{kPasswordEdit, ControlKind::Edit, "", 42, 39, 85, 14, kEditText | kPassword, 0},
    ControlTemplate{kLoginButton, ControlKind::DefPushButton, "登录", 55, 64, 50, 14, kButton, 0},
};

// Settings dialog, in tab order.
constexpr std::array kSettings{
    ControlTemplate{kSettingsStoreButton, ControlKind::PushButton, "确定", 27, 74, 50, 14, kButton, 0},
    ControlTemplate{kSettingsCancelButton, ControlKind::PushButton, "取消", 119, 73, 50, 14, kButton, 0},
    ControlTemplate{kIpAddressCtrl, ControlKind::IpAddress, "", 62, 17, 100, 15, kTabStop, 0},
    ControlTemplate{kNoId, ControlKind::Static, "IP地址：", 26, 21, 32, 8, kLText, 0},
    ControlTemplate{kNoId, ControlKind::Static, "端口号：", 25, 46, 33, 8, kLText, 0},
    ControlTemplate{kPortEdit, ControlKind::Edit, "", 63, 43, 99, 14, kEditText | kNumber, 0},
};

// Success dialog.
constexpr std::array kSuccess{
    ControlTemplate{kSuccessText, ControlKind::Static, "Static", 20, 22, 234, 40, kLeft | kWraps | kGroup, 0},
    ControlTemplate{kIdOk, ControlKind::DefPushButton, "确定", 110, 65, 50, 14, kButton, 0},
};

constexpr const char* kShellDlg = "MS Shell Dlg";

const DialogTemplate kTemplates[] = {
    {kAboutDialog, "关于 Renvora", 170, 62, kShellDlg, 9, kCaption | kSysMenu | kModalFrame, kAbout},
    {kMainDialog, "TessamarIC卡证书自主延期客户端", 468, 229, kShellDlg, 9, kCaption | kSysMenu | kCentered,
     kMain},
    {kLoginDialog, "登录", 179, 105, kShellDlg, 8, kCaption | kSysMenu | kModalFrame, kLogin},
    {kSettingsDialog, "设置", 193, 110, kShellDlg, 8, kCaption | kSysMenu | kModalFrame, kSettings},
    {kSuccessDialog, "", 269, 91, kShellDlg, 8, kPopupNoBorder, kSuccess},
    {kNoticeDialog, "", 391, 46, kShellDlg, 8, kPopupNoBorder | kCentered, {}},
};

} // namespace

const DialogTemplate* FindTemplate(int id) {
    for (const auto& t : kTemplates) {
        if (t.id == id) {
            return &t;
        }
    }
    return nullptr;
}

} // namespace rv::res

namespace rv::dlg {

const DialogTemplate* FindTemplate(int id) {
    return res::FindTemplate(id);
}

} // namespace rv::dlg
