#pragma once
// E-mail notification of card events: one plain message over SMTP, reported as a short
// status text. Never raises for mail failures; blocks the calling thread for the length of
// the exchange (bounded by a connect and transfer time-out, so a dead server cannot stall
// the caller's loop for good). No shared state apart from the one-time library set-up;
// callable from any thread.
#include <string>

namespace tarn {

// Seconds allowed for the whole exchange and for connecting: well inside the service
// watchdog, since the mail is sent on the main thread.
constexpr long kMailTimeoutSeconds = 15;
constexpr long kMailConnectTimeoutSeconds = 5;

// Sends one message and sets `status` to "Sent", "No one to send to!" or the error text.
//   user            SMTP user name; empty = no authentication (no password is ever sent)
//   fromAddress     sender, shown as "Automated Systems", and the reply-to address
//   toList, bccList addresses separated by commas or blanks (comma text)
//   bodyText        one body line; empty = empty body
//   attachmentFile  a temporary file sent inline and deleted afterwards; empty = none
// Blind copies reach the server only as envelope recipients, never as a header.
void SendMail(const std::string& user, const std::string& host, int port, const std::string& fromAddress,
              const std::string& toList, const std::string& bccList, const std::string& subject,
              const std::string& bodyText, const std::string& attachmentFile, std::string& status);

}  // namespace tarn
