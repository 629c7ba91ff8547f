// What the URL layer writes to the log in place of secrets. The log store
// is archived by the collection and sent to support, so a URL, a header or
// a cookie goes through here before it reaches any log line.
//
// Threading: every function is thread-safe; the digest key is made once per
// process, on first use.
#pragma once

#include <string>
#include <string_view>

namespace NRVLogRedaction {

// Stands for a masked value.
inline constexpr const char* kMask = "<redacted>";

// The URL as a log line shows it: a password in its user part is left out
// (the user name stays), and every query and fragment value is masked with
// its name kept ("?access_token=<redacted>&page=<redacted>"); a part without
// "=" is masked whole, as it may be a bare token. Text that is not a URL
// gets the same treatment from its first "?" or "#".
std::string redactedURL(std::string_view url);

// True for the header fields that carry credentials or session state:
// Cookie, Set-Cookie, Authorization, Proxy-Authorization (any case). A
// logged request or response shows kMask for their values.
bool isSecretHeaderField(std::string_view name);

// 64 lower-case hex characters of HMAC-SHA256 under a random key made once
// per process: the same value gives the same digest within one run, so log
// lines stay comparable, while a guessable value cannot be recovered from
// the log by hashing candidates.
std::string keyedDigest(std::string_view value);

}  // namespace NRVLogRedaction
