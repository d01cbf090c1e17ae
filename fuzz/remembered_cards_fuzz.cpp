// The renewal reminder's record of cards (cards.json, JSON): how a file is judged, the entries read from
// it, and the record after a login has put a card into it.
#include "fuzz_support.h"
#include "renewal/remembered_cards.h"

#include <algorithm>

using namespace rv;

namespace {

bool SameEntries(const std::vector<RememberedCard>& a, const std::vector<RememberedCard>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const RememberedCard& x, const RememberedCard& y) {
                          return x.cardNumber == y.cardNumber && x.certSeqNo == y.certSeqNo &&
                                 x.endDate == y.endDate && x.maxDay == y.maxDay && x.seen == y.seen &&
                                 x.notified == y.notified && x.timeIni == y.timeIni;
                      });
}

bool IsDate(const std::string& s) {
    return s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    RememberedCards record("/nonexistent");
    std::string why;
    const RememberedCards::Load load = record.Parse(fuzz::Bytes(data, size), why);
    std::vector<std::string> problems;
    const std::vector<RememberedCard> cards = record.Cards(&problems);
    if (load != RememberedCards::Load::Read) {
        // Newer files are not read; unreadable ones leave an empty record.
        RV_FUZZ_CHECK(load == RememberedCards::Load::Newer || !why.empty());
        RV_FUZZ_CHECK(cards.empty() && problems.empty());
        RV_FUZZ_CHECK((load == RememberedCards::Load::Newer) == record.Text().empty());
        return 0;
    }
    for (const RememberedCard& c : cards) {
        RV_FUZZ_CHECK(IsDate(c.endDate));
        RV_FUZZ_CHECK(!c.cardNumber.empty() || !c.certSeqNo.empty());
        RV_FUZZ_CHECK(c.seen.empty() || IsDate(c.seen));
        RV_FUZZ_CHECK(c.notified.empty() || IsDate(c.notified));
    }

    // What Save would write reads back to the same entries and the same problems.
    RememberedCards again("/nonexistent");
    RV_FUZZ_CHECK(again.Parse(record.Text(), why) == RememberedCards::Load::Read);
    std::vector<std::string> problemsAgain;
    RV_FUZZ_CHECK(SameEntries(again.Cards(&problemsAgain), cards));
    RV_FUZZ_CHECK(problemsAgain.size() == problems.size());

    // A login puts its card in: afterwards exactly one readable entry is that card, and a renewal's new
    // end date replaces it with its reminder date dropped.
    const std::string number = cards.empty() ? std::string("IC-FUZZ") : cards.front().cardNumber;
    RememberedCard mine{number, "C-FUZZ", "20300101", 180, "20240305", "", "/d/Windows/time.ini"};
    record.Put(mine);
    record.MarkNotified(mine, "20240306");
    mine.endDate = "20320101";
    record.Put(mine);
    const std::vector<RememberedCard> after = record.Cards();
    const auto count = std::count_if(after.begin(), after.end(), [&](const RememberedCard& c) {
        return number.empty() ? c.cardNumber.empty() && c.certSeqNo == "C-FUZZ" : c.cardNumber == number;
    });
    RV_FUZZ_CHECK(count >= 1);
    const auto it = std::find_if(after.begin(), after.end(), [&](const RememberedCard& c) {
        return c.certSeqNo == "C-FUZZ" && c.endDate == "20320101";
    });
    RV_FUZZ_CHECK(it != after.end() && it->notified.empty() && it->maxDay == 180 &&
                  it->timeIni == "/d/Windows/time.ini");
    return 0;
}
