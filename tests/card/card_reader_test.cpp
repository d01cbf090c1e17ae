#include "card/card_reader.h"
#include "card/dispids.h"
#include "support/fake_card.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <random>

namespace rv {
namespace {

using test::Gbk;
using test::Utf8;
using Fields = std::vector<std::string>;

// A UTF-8 literal as std::string, to compare with Utf8(gbk).
std::string S(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}

// "億" is 0x83 0x7C in GBK: its trail byte is the separator byte.
const std::string kYi = "\x83\x7C";

Fields Split(const std::string& record, int* rc = nullptr) {
    Fields f{"stale"};
    int r = SplitCardFields(record, f);
    if (rc) {
        *rc = r;
    }
    return f;
}

TEST(CardFieldSplitter, JoinedPiecesComeBackInOrder) {
    int rc = 1;
    EXPECT_EQ(Split("a|bb|ccc", &rc), (Fields{"a", "bb", "ccc"}));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Split("x|", &rc), (Fields{"x"}));
    EXPECT_EQ(rc, 0);
}

TEST(CardFieldSplitter, LeadingSeparatorIsIgnoredAndTrailingAddsNoField) {
    EXPECT_EQ(Split("|a|b"), (Fields{"a", "b"}));
    EXPECT_EQ(Split("a|b|"), (Fields{"a", "b"}));
    EXPECT_EQ(Split("|a|"), (Fields{"a"}));
    EXPECT_EQ(Split("|"), Fields{});
}

TEST(CardFieldSplitter, AdjacentSeparatorsGiveEmptyFieldsExceptAtTheStart) {
    EXPECT_EQ(Split("a||b"), (Fields{"a", "", "b"}));
    EXPECT_EQ(Split("a|||b"), (Fields{"a", "", "", "b"}));
    // At the start only the very first separator is skipped.
    EXPECT_EQ(Split("||a"), (Fields{"", "a"}));
    EXPECT_EQ(Split("a||"), (Fields{"a", ""}));
}

TEST(CardFieldSplitter, TextWithoutSeparatorGivesNoFieldAndMinusOne) {
    int rc = 0;
    EXPECT_EQ(Split("abc", &rc), Fields{});
    EXPECT_EQ(rc, -1);
    // The list is cleared first even for an empty text, which is fine (0).
    EXPECT_EQ(Split("", &rc), Fields{});
    EXPECT_EQ(rc, 0);
}

TEST(CardFieldSplitter, GbkTrailByteIsNoSeparator) {
    std::string unit = Gbk(u8"某") + kYi + Gbk(u8"公司");
    int rc = 1;
    EXPECT_EQ(Split("A|" + unit + "|B", &rc), (Fields{"A", unit, "B"}));
    EXPECT_EQ(rc, 0);
    // A single field that only holds the trail byte is still a text without separator.
    EXPECT_EQ(Split(unit, &rc), Fields{});
    EXPECT_EQ(rc, -1);
    // The character right before a real separator.
    EXPECT_EQ(Split(kYi + "|" + kYi), (Fields{kYi, kYi}));
}

TEST(CollapseSeparators, PairsAreFoundLeftToRightWithoutOverlap) {
    EXPECT_EQ(CollapseDoubleSeparators("a||b"), "a|b");
    EXPECT_EQ(CollapseDoubleSeparators("a|||b"), "a||b");
    EXPECT_EQ(CollapseDoubleSeparators("a||||b"), "a||b");
    EXPECT_EQ(CollapseDoubleSeparators("||a|b||"), "|a|b|");
    EXPECT_EQ(CollapseDoubleSeparators("plain"), "plain");
    EXPECT_EQ(CollapseDoubleSeparators(""), "");
}

TEST(CollapseSeparators, TrailByteFollowedBySeparatorIsNotAPair) {
    // "億|" is 0x83 0x7C 0x7C: one character and one separator, not a doubled separator.
    EXPECT_EQ(CollapseDoubleSeparators("a|" + kYi + "|b"), "a|" + kYi + "|b");
    EXPECT_EQ(CollapseDoubleSeparators(kYi + "||b"), kYi + "|b");
}

TEST(LeftChars, CutsAtEightWithoutSplittingACharacter) {
    EXPECT_EQ(LeftChars("20250101120000", 8), "20250101");
    EXPECT_EQ(LeftChars("2025", 8), "2025");
    std::string s = "1234567" + Gbk(u8"年") + "9";
    EXPECT_EQ(LeftChars(s, 8), "1234567");
}

// ---- The reader over a scripted card ----

class CardReaderTest : public ::testing::Test {
protected:
    CardReaderTest() { card.Attach(fake.Dispatch()); }

    void PresetData() {
        const char* old = "old";
        for (std::string* s :
             {&model.data.certSeqNo, &model.data.applicantName, &model.data.idType, &model.data.idNumber,
              &model.data.field5, &model.data.cardNumber, &model.data.unitName, &model.data.unitCode,
              &model.data.raCode, &model.data.cardType, &model.data.validFrom, &model.data.validTo,
              &model.data.cryptAlgo, &model.data.opSeqNo, &model.data.signDate, &model.data.managePasswd}) {
            *s = old;
        }
    }

    test::CoreFixture core;
    test::FakeCard fake;
    CDCertUpdate card;
    test::FakeView view;
    MainWindowModel model{card, view};
};

TEST_F(CardReaderTest, ThirteenFieldsFillTheCardDataAndFieldNineIsLost) {
    fake.SetString(dispid::CardInfo, "SEQ|" + Gbk(u8"张三") + "|ID|110101|F5|C9|" + Gbk(u8"某公司") +
                                         "|UC|NINE|RA7|10|20240115083000|20260114235959");
    fake.SetString(dispid::CryptAlgo, "SM2");
    ASSERT_EQ(model.ReadCardInfo(), 0);
    const CardData& d = model.data;
    EXPECT_EQ(d.certSeqNo, "SEQ");
    EXPECT_EQ(Utf8(d.applicantName), S(u8"张三"));
    EXPECT_EQ(d.idType, "ID");
    EXPECT_EQ(d.idNumber, "110101");
    EXPECT_EQ(d.field5, "F5");
    EXPECT_EQ(d.cardNumber, "C9");
    EXPECT_EQ(Utf8(d.unitName), S(u8"某公司"));
    EXPECT_EQ(d.unitCode, "UC");
    EXPECT_EQ(d.raCode, "RA7");
    EXPECT_EQ(Utf8(d.cardType), S(u8"法人IC卡"));
    EXPECT_EQ(d.validFrom, "20240115");
    EXPECT_EQ(d.validTo, "20260114");
    EXPECT_EQ(d.cryptAlgo, "SM2");
    EXPECT_TRUE(core.boxes.Entries().empty());
    EXPECT_EQ(view.dateFontCalls, 1);
    // The reader reads exactly the members it needs, in this order.
    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{"M10", "G2", "G11", "M46", "G2", "G47"}));
}

TEST_F(CardReaderTest, CardTypeOtherThanTenIsAnOperatorCard) {
    for (const char* type : {"11", "", "010", "10 "}) {
        fake.SetString(dispid::CardInfo, std::string("1|2|3|4|5|6|7|8|9|RA|") + type + "|20240101|20250101");
        ASSERT_EQ(model.ReadCardInfo(), 0) << type;
        EXPECT_EQ(Utf8(model.data.cardType), S(u8"操作员IC卡")) << "card type '" << type << "'";
    }
}

TEST_F(CardReaderTest, AdjacentSeparatorsMoveLaterFieldsUp) {
    // Empty field 3 disappears in the "||" replacement: field 4 becomes the id type, and so on.
    fake.SetString(dispid::CardInfo, "S|N||I|F5|C|U|UC|9|RA|10|20240101|20250101");
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.idType, "I");
    EXPECT_EQ(model.data.idNumber, "F5");
    EXPECT_EQ(model.data.raCode, "10");
    EXPECT_EQ(Utf8(model.data.cardType), S(u8"操作员IC卡")); // "20240101" sits in field 11 now
    EXPECT_EQ(model.data.validFrom, "20250101");
    EXPECT_EQ(model.data.validTo, "");

    // Three separators leave one empty field in place.
    fake.SetString(dispid::CardInfo, "S|N|||I|F5|C|U|UC|9|RA|10|20240101");
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.idType, "");
    EXPECT_EQ(model.data.idNumber, "I");
    EXPECT_EQ(Utf8(model.data.cardType), S(u8"法人IC卡"));
    EXPECT_EQ(model.data.validFrom, "20240101");
    EXPECT_EQ(model.data.validTo, "");
}

TEST_F(CardReaderTest, LeadingSeparatorIsIgnoredTrailingGivesNoField) {
    fake.SetString(dispid::CardInfo, "|S|N|T|I|5|C|U|UC|9|RA|10|20240101|20250101|");
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.certSeqNo, "S");
    EXPECT_EQ(model.data.validTo, "20250101");
}

TEST_F(CardReaderTest, RecordWithoutSeparatorEmptiesTheFieldsAndStillSucceeds) {
    PresetData();
    fake.SetString(dispid::CardInfo, "NOSEPARATOR");
    fake.SetString(dispid::CryptAlgo, "SM2");
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.certSeqNo, "");
    EXPECT_EQ(model.data.unitCode, "");
    EXPECT_EQ(model.data.raCode, "");
    EXPECT_EQ(model.data.validFrom, "");
    EXPECT_EQ(model.data.validTo, "");
    EXPECT_EQ(Utf8(model.data.cardType), S(u8"操作员IC卡"));
    EXPECT_EQ(model.data.cryptAlgo, "SM2");
    // The renewal values are not the reader's.
    EXPECT_EQ(model.data.opSeqNo, "old");
    EXPECT_EQ(model.data.managePasswd, "old");
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(CardReaderTest, ShortRecordLeavesMissingFieldsEmptyAndLongOneKeepsTheFirstThirteen) {
    PresetData();
    fake.SetString(dispid::CardInfo, "S|N|T");
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.idType, "T");
    EXPECT_EQ(model.data.idNumber, "");
    EXPECT_EQ(model.data.validTo, "");

    fake.SetString(dispid::CardInfo, "S|N|T|I|5|C|U|UC|9|RA|10|20240101|20250101|X14|X15|X16");
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.validFrom, "20240101");
    EXPECT_EQ(model.data.validTo, "20250101");
    EXPECT_EQ(Utf8(model.data.cardType), S(u8"法人IC卡"));
}

TEST_F(CardReaderTest, GbkCharacterWithSeparatorTrailByteStaysInItsField) {
    std::string unit = Gbk(u8"某") + kYi + Gbk(u8"科技有限公司");
    std::string name = kYi; // a name of just "億"
    fake.SetString(dispid::CardInfo, "S|" + name + "|T|I|5|C|" + unit + "|UC|9|RA|10|20240101|20250101");
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.applicantName, name);
    EXPECT_EQ(Utf8(model.data.unitName), S(u8"某億科技有限公司"));
    EXPECT_EQ(model.data.unitCode, "UC");
    EXPECT_EQ(model.data.validTo, "20250101");
}

TEST_F(CardReaderTest, ReadCardInfoFailureShowsItsMessageAndChangesNothing) {
    PresetData();
    fake.QueueResult(dispid::ReadCardInfo, -1, Gbk(u8"读卡器无响应"));
    EXPECT_EQ(model.ReadCardInfo(), -1);
    EXPECT_EQ(core.boxes.TextsUtf8(),
              (std::vector<std::string>{S(u8"读卡器无响应\n获取IC卡中信息失败，请查看IC卡是否正常！")}));
    EXPECT_EQ(core.boxes.Entries()[0].kind, MbKind::Ok);
    EXPECT_EQ(Utf8(Client().lastError), S(u8"读卡器无响应"));
    EXPECT_EQ(model.data.certSeqNo, "old");
    EXPECT_EQ(model.data.cardType, "old");
    EXPECT_EQ(model.data.validTo, "old");
    EXPECT_EQ(model.data.cryptAlgo, "old");
    EXPECT_EQ(view.dateFontCalls, 0);
    // Nothing after the failed method: no record read, no algorithm read.
    EXPECT_EQ(fake.CountMethod(dispid::ReadCryptAlgo), 0);
    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{"M10", "G2", "G3"}));
}

TEST_F(CardReaderTest, ReadCryptAlgoFailureKeepsStoredFieldsUntranslated) {
    PresetData();
    fake.SetString(dispid::CardInfo, "S|N|T|I|5|C|U|UC|9|RA|10|20240101093000|20250101093000");
    fake.SetString(dispid::CryptAlgo, "SHOULD-NOT-BE-READ");
    fake.QueueResult(dispid::ReadCryptAlgo, 5, Gbk(u8"算法不可用"));
    EXPECT_EQ(model.ReadCardInfo(), -1);
    EXPECT_EQ(core.boxes.TextsUtf8(), (std::vector<std::string>{S(u8"算法不可用\n取加密算法标识错误！")}));
    EXPECT_EQ(Utf8(Client().lastError), S(u8"算法不可用"));
    // Strings 1 to 12 are already replaced; the card type stays the raw code.
    EXPECT_EQ(model.data.certSeqNo, "S");
    EXPECT_EQ(model.data.raCode, "RA");
    EXPECT_EQ(model.data.cardType, "10");
    EXPECT_EQ(model.data.validFrom, "20240101");
    EXPECT_EQ(model.data.validTo, "20250101");
    EXPECT_EQ(model.data.cryptAlgo, "old");
    EXPECT_EQ(view.dateFontCalls, 0);
}

TEST_F(CardReaderTest, WithoutAControlTheReaderFailsWithAClearText) {
    CDCertUpdate empty;
    MainWindowModel m{empty, view};
    EXPECT_EQ(m.ReadCardInfo(), -1);
    ASSERT_EQ(core.boxes.Entries().size(), 1u);
    std::string shown = core.boxes.TextsUtf8()[0];
    EXPECT_NE(shown.find(S(u8"\n获取IC卡中信息失败，请查看IC卡是否正常！")), std::string::npos);
    EXPECT_GT(shown.size(), std::string(S(u8"\n获取IC卡中信息失败，请查看IC卡是否正常！")).size());
}

} // namespace
} // namespace rv

namespace rv {
namespace {

// Random records of ASCII, separators and GBK pairs (many with the 0x7C trail byte): the splitter
// never crashes, never cuts a double-byte character, and its fields put back together give the record
// as the described algorithm reads it.
TEST(CardFieldSplitter, RandomRecordsSplitIntoWholeCharacters) {
    std::mt19937 rng(20240607);
    const std::string pieces[] = {"a", "7", "|", "|", "\x83\x7C", "\x81\x5C", "\xD5\xC5", " "};
    for (int round = 0; round < 2000; ++round) {
        std::string record;
        int len = static_cast<int>(rng() % 12);
        for (int i = 0; i < len; ++i) {
            record += pieces[rng() % std::size(pieces)];
        }
        std::vector<std::string> fields;
        int rc = SplitCardFields(record, fields);
        bool hasSeparator = cp::FindAsciiChar(record, '|') != std::string::npos;
        if (!record.empty() && !hasSeparator) {
            EXPECT_EQ(rc, -1);
            EXPECT_TRUE(fields.empty());
            continue;
        }
        EXPECT_EQ(rc, 0);
        std::string joined;
        for (const std::string& f : fields) {
            EXPECT_EQ(cp::FindAsciiChar(f, '|'), std::string::npos) << f;
            // Each field is whole characters: no lead byte without its trail at the end.
            EXPECT_EQ(LeftChars(f, f.size()), f);
            joined += f + "|";
        }
        // Rebuild the record: a leading separator was dropped, a trailing one added no field.
        std::string expect = record;
        if (!expect.empty() && expect.front() == '|') {
            expect.erase(0, 1);
        }
        std::size_t last = std::string::npos;
        for (std::size_t p = cp::FindAsciiChar(expect, '|'); p != std::string::npos;
             p = cp::FindAsciiChar(expect, '|', p + 1)) {
            last = p;
        }
        // A 0x7C that ends a double-byte character is no separator of its own.
        if (!fields.empty() && last + 1 != expect.size()) {
            expect += '|';
        }
        EXPECT_EQ(joined, expect) << "record of " << record.size() << " bytes";
    }
}

} // namespace
} // namespace rv
