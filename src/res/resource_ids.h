// Every resource and control id of the client, in one place. Code refers to these names only.
#pragma once

namespace rv::res {

// Dialog templates.
inline constexpr int kAboutDialog = 100;
inline constexpr int kMainDialog = 102;
inline constexpr int kLoginDialog = 130;
inline constexpr int kSettingsDialog = 141;
inline constexpr int kSuccessDialog = 151;
inline constexpr int kNoticeDialog = 157;

// Other resources.
inline constexpr int kAppIcon = 128;
inline constexpr int kMainMenu = 131;
inline constexpr int kToolbar = 143; // toolbar and its button bitmap
inline constexpr int kPictureWriteCard = 156;
inline constexpr int kPictureSign = 159;
inline constexpr int kPictureSendData = 160;
inline constexpr int kPictureKeyPair = 162;

// Strings.
inline constexpr int kIdsAboutBox = 101;   // the About entry of the system menu
inline constexpr int kIdsAppTitle = 57344; // caption of every message box

// Standard command ids.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdHelp = 57670; // the framework's help command

// System command of the About entry; any value whose (value & 0xFFF0) equals it opens the box.
inline constexpr int kSysCommandAbout = 16;

// Main window (template 102).
inline constexpr int kRenewalButton = 1000;
inline constexpr int kCardControl = 1001;
inline constexpr int kEditApplicantName = 1003;
inline constexpr int kEditUnitName = 1004;
inline constexpr int kEditCardType = 1005;
inline constexpr int kEditCardNumber = 1006;
inline constexpr int kEditCertSeqNo = 1007;
inline constexpr int kEditIdNumber = 1008;
inline constexpr int kEditValidFrom = 1009;
inline constexpr int kEditValidTo = 1010;
inline constexpr int kExitButton = 1011;
inline constexpr int kLabelApplicantName = 1021;
inline constexpr int kLabelCertSeqNo = 1022;
inline constexpr int kLabelIdNumber = 1023;
inline constexpr int kLabelCardNumber = 1024;
inline constexpr int kLabelUnitName = 1025;
inline constexpr int kLabelCardType = 1026;
inline constexpr int kLabelValidFrom = 1027;
inline constexpr int kLabelValidTo = 1028;
inline constexpr int kNoticeText = 1037;

// Login dialog (template 130).
inline constexpr int kLoginButton = 1012;
inline constexpr int kPasswordEdit = 1013;

// Settings dialog (template 141).
inline constexpr int kSettingsStoreButton = 1014;
inline constexpr int kSettingsCancelButton = 1015;
inline constexpr int kIpAddressCtrl = 1017;
inline constexpr int kPortEdit = 1018;

// Success dialog (template 151).
inline constexpr int kSuccessText = 1020;

// Menu 131 and the commands nothing on screen sends.
inline constexpr int kCmdLogin = 32791;
inline constexpr int kCmdNetworkTest = 32794;
inline constexpr int kCmdSettings = 32778;        // settings, then re-read the server address
inline constexpr int kCmdSettingsPlain = 32788;   // settings, nothing afterwards (toolbar button 0)
inline constexpr int kCmdAbout = 32784;           // About box
inline constexpr int kCmdAboutToolbar = 32790;    // About box (toolbar button 2)
inline constexpr int kCmdAlreadyLoggedIn = 32793; // toolbar button 1

} // namespace rv::res
