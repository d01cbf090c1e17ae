// Login: the password check behind the login dialog's button, and today's date text the login flow
// compares the certificate's end date with. The flow itself is MainWindowModel::LoginFlow.
#pragma once

#include "platform/clock.h"

#include <string>

namespace rv {

class CDCertUpdate;

// The login dialog's button (1012): checks `typedPassword` on the card and shows the outcome. True when
// the dialog should end with OK; false keeps it open (empty password, card not opened, wrong password).
// The control's error texts stay in the dialog's messages: the client-wide last error text is not touched.
bool LoginButtonPressed(CDCertUpdate& card, const std::string& typedPassword);

// "YYYYMMDD" of a date, built with the four formats that put a 0 before a one-digit month or day.
std::string FormatDateText(const UtcDate& date);
// Today's date text from the client's clock (UTC).
std::string TodayDateText();

} // namespace rv
