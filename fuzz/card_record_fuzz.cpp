// The card record (CardInfo, GBK): the "||" collapse, the GBK-aware field splitter, the date cut, and the
// card information reader over a card double answering the record.
#include "card/card_reader.h"
#include "card/dispids.h"
#include "fuzz_support.h"
#include "platform/codepage.h"
#include "support/fake_card.h"

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Boxes().shown = 0;
    const std::string record = fuzz::Bytes(data, size);

    const std::string collapsed = CollapseDoubleSeparators(record);
    RV_FUZZ_CHECK(collapsed.size() <= record.size());

    std::vector<std::string> fields{"stale"};
    int rc = SplitCardFields(collapsed, fields);
    RV_FUZZ_CHECK(rc == 0 || rc == -1);
    RV_FUZZ_CHECK(rc == 0 || fields.empty());
    std::size_t total = 0;
    for (const std::string& f : fields) {
        // No field holds a separator of its own (a 0x7C trail byte may stay inside a character).
        RV_FUZZ_CHECK(cp::FindAsciiChar(f, '|') == std::string::npos);
        total += f.size();
    }
    RV_FUZZ_CHECK(total <= collapsed.size());

    const std::size_t n = size % 16;
    const std::string left = LeftChars(record, n);
    RV_FUZZ_CHECK(left.size() <= n || left == record);
    RV_FUZZ_CHECK(record.compare(0, left.size(), left) == 0);

    // The reader over a card that answers this record.
    test::FakeCard fake;
    fake.SetString(dispid::CardInfo, record);
    fake.SetString(dispid::CryptAlgo, "SM2");
    CDCertUpdate card;
    card.Attach(fake.Dispatch());
    fuzz::NullView view;
    MainWindowModel model(card, view);
    RV_FUZZ_CHECK(model.ReadCardInfo() == 0);
    RV_FUZZ_CHECK(model.data.validFrom.size() <= kCardDateLength);
    RV_FUZZ_CHECK(model.data.validTo.size() <= kCardDateLength);
    RV_FUZZ_CHECK(model.data.cryptAlgo == "SM2");
    RV_FUZZ_CHECK(model.data.cardType == kLegalPersonCardName || model.data.cardType == kOperatorCardName);
    RV_FUZZ_CHECK(fuzz::Boxes().shown == 0);
    return 0;
}
