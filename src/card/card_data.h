// The sixteen card-data strings the main window owns (GBK). The first thirteen come from the card,
// the last three from the server's verification answer.
#pragma once

#include <string>

namespace rv {

struct CardData {
    std::string certSeqNo;     // 1  user certificate number (edit 1007)
    std::string applicantName; // 2  applicant name (edit 1003)
    std::string idType;        // 3  identity document type
    std::string idNumber;      // 4  identity document number (edit 1008)
    std::string field5;        // 5  card field 5, read by nothing
    std::string cardNumber;    // 6  card number (edit 1006)
    std::string unitName;      // 7  unit name (edit 1004)
    std::string unitCode;      // 8  unit code
    std::string raCode;        // 9  RA code (record field 10)
    std::string cardType;      // 10 card type, translated (edit 1005)
    std::string validFrom;     // 11 certificate validity start date YYYYMMDD (edit 1009)
    std::string validTo;       // 12 certificate validity end date YYYYMMDD (edit 1010)
    std::string cryptAlgo;     // 13 card algorithm identifier
    std::string opSeqNo;       // 14 operation number (verification answer)
    std::string signDate;      // 15 signing date (verification answer)
    std::string managePasswd;  // 16 management password (verification / renewal answer)
};

} // namespace rv
