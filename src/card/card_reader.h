// Card information reader: cuts the card record (CardInfo) into its fields and stores them in the
// main window's card data (MainWindowModel::ReadCardInfo runs it on the window's card and data); the
// pieces below are exposed for tests and fuzzing.
//
// A '|' byte that is the trail byte of a GBK double-byte character (for example "億", 0x83 0x7C) is
// part of that character, not a separator: a naive byte split would cut a unit name like "某億公司"
// in two and shift every later field.
#pragma once

#include "card/CDCertUpdate.h"
#include "card/card_data.h"

#include <string>
#include <vector>

namespace rv {

// Reads the card record and the algorithm identifier from `card` into `data`. 0, or -1 after its
// message (the control's text, copied into the last error text, and the reader's own).
int ReadCardRecord(CDCertUpdate& card, CardData& data);

// Messages shown after the control's error text.
inline constexpr const char* kReadCardInfoFailed = "\n获取IC卡中信息失败，请查看IC卡是否正常！";
inline constexpr const char* kReadCryptAlgoFailed = "\n取加密算法标识错误！";
// Card type of a legal-person card and the two names shown for card types.
inline constexpr const char* kLegalPersonCardTypeCode = "10";
inline constexpr const char* kLegalPersonCardName = "法人IC卡";
inline constexpr const char* kOperatorCardName = "操作员IC卡";
// The card data hold this many record fields; later ones are dropped.
inline constexpr std::size_t kCardRecordFields = 13;
// Dates keep this many leading characters (YYYYMMDD).
inline constexpr std::size_t kCardDateLength = 8;

// Replaces each "||" by "|", found left to right without overlap: two adjacent separators become one,
// three become two.
std::string CollapseDoubleSeparators(const std::string& record);

// Card field splitter: clears `fields`, then fills it. Returns 0, or -1 (with no field) when a
// non-empty record holds no separator at all. A separator at the start is ignored, one at the end adds
// no empty field, one right after another adds an empty field.
int SplitCardFields(const std::string& record, std::vector<std::string>& fields);

// The first `n` characters of a GBK text (whole when shorter), never splitting a double-byte character.
std::string LeftChars(const std::string& gbk, std::size_t n);

} // namespace rv
