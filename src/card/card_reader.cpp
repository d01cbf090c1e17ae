#include "card/card_reader.h"

#include "platform/client_strings.h"
#include "platform/codepage.h"
#include "platform/message_box.h"

#include <algorithm>
#include <array>

namespace rv {

std::string CollapseDoubleSeparators(const std::string& record) {
    std::string out;
    out.reserve(record.size());
    std::size_t s = 0;
    for (;;) {
        std::size_t p = cp::FindAsciiChar(record, '|', s);
        if (p == std::string::npos) {
            out.append(record, s, std::string::npos);
            return out;
        }
        out.append(record, s, p - s);
        out += '|';
        // '|' is never a lead byte, so a '|' right after a separator is a separator of its own.
        s = p + 1 < record.size() && record[p + 1] == '|' ? p + 2 : p + 1;
    }
}

int SplitCardFields(const std::string& record, std::vector<std::string>& fields) {
    fields.clear();
    const std::size_t n = record.size();
    if (n == 0) {
        return 0;
    }
    std::size_t s = 0;
    for (;;) {
        std::size_t p = cp::FindAsciiChar(record, '|', s);
        if (p == std::string::npos) {
            if (s == 0) {
                return -1; // a text without any separator gives no field at all
            }
            fields.push_back(record.substr(s));
            return 0;
        }
        if (p > s) {
            fields.push_back(record.substr(s, p - s));
        } else if (s != 0) {
            fields.emplace_back(); // adjacent separators: an empty field
        }
        s = p + 1;
        if (s >= n) {
            return 0; // a separator at the end adds no empty field
        }
    }
}

std::string LeftChars(const std::string& gbk, std::size_t n) {
    if (gbk.size() <= n) {
        return gbk;
    }
    std::size_t i = 0;
    while (i < n) {
        std::size_t step = cp::IsGbkLead(static_cast<unsigned char>(gbk[i])) && i + 1 < gbk.size() ? 2 : 1;
        if (i + step > n) {
            break;
        }
        i += step;
    }
    return gbk.substr(0, i);
}

int ReadCardRecord(CDCertUpdate& card, CardData& data) {
    card.ReadCardInfo();
    if (card.GetStatus() != 0) {
        Client().lastError = card.GetErrorMessage();
        ShowNotice(Client().lastError + kReadCardInfoFailed);
        return -1;
    }
    std::string record = CollapseDoubleSeparators(card.GetCardInfo());

    std::array<std::string, kCardRecordFields> field;
    std::vector<std::string> pieces;
    SplitCardFields(record, pieces); // its -1 (no separator) just leaves every field empty
    std::copy_n(pieces.begin(), std::min(pieces.size(), field.size()), field.begin());

    data.certSeqNo = field[0];
    data.applicantName = field[1];
    data.idType = field[2];
    data.idNumber = field[3];
    data.field5 = field[4];
    data.cardNumber = field[5];
    data.unitName = field[6];
    data.unitCode = field[7];
    // field[8] (record field 9) is not kept.
    data.raCode = field[9];
    data.cardType = field[10];
    data.validFrom = LeftChars(field[11], kCardDateLength);
    data.validTo = LeftChars(field[12], kCardDateLength);

    card.ReadCryptAlgo();
    if (card.GetStatus() != 0) {
        Client().lastError = card.GetErrorMessage();
        ShowNotice(Client().lastError + kReadCryptAlgoFailed);
        return -1;
    }
    data.cryptAlgo = card.GetCryptAlgo();
    data.cardType = data.cardType == kLegalPersonCardTypeCode ? kLegalPersonCardName : kOperatorCardName;
    return 0;
}

} // namespace rv
