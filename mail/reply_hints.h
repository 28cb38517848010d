#pragma once
// Known causes of common refusals and failed connects, with the setting or
// action that fixes them: the activity log adds one "Hint: ..." after the
// failure it explains. A hint is given only where the cause is known.
#include <string>

namespace replyhints {

// The hint for a server reply (all its lines, joined by "\n"), matched on
// its code, its enhanced status code (RFC 3463) and words of its text;
// empty when no row matches.
std::string forReply(const std::string& reply);

// The hint for a connect that failed for this reason (BrenvikSocket's
// kConnect... values) to this port; empty when none applies.
std::string forConnect(int failReason, int port);

// The hint when credentials were given but no login was made because the
// server listed no AUTH mechanism; offersStartTls tells whether the same
// EHLO reply offered STARTTLS.
std::string forNoLogin(bool offersStartTls);

}  // namespace replyhints
