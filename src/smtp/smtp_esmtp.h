#pragma once
// Extended SMTP: the pieces of the dialogue that exist only when the receiver answers
// EHLO (its reply, the MAIL and RCPT parameters, the protocol named in the Received
// header).

#include <cstdint>
#include <string>
#include <vector>

#include "smtp/smtp_msg.h"

namespace kestran {

// A MAIL or RCPT argument split into the address part (what the address parser gets:
// prefix, display name, the path, comments) and the parameters after it. The path ends
// at the ">" that closes its first "<" outside a quoted string; a path without angle
// brackets is the word after the prefix. Every word after the path is a parameter,
// except a comment in parentheses, which stays with the address.
struct TEsmtpArgument {
  std::string address;
  std::vector<std::string> params;
  // No path, or its "<" has no ">": the argument is a syntax error.
  bool malformed = false;
};
TEsmtpArgument SplitEsmtpArgument(const std::string& arg);

// A parameter that is not keyword[=value] (RFC 5321 esmtp-param) is among params.
bool HasParamSyntaxError(const std::vector<std::string>& params);

// The outcome of checking MAIL parameters.
enum class TMailParamResult {
  Accepted,      // SIZE within the limit, BODY=7BIT or 8BITMIME, nothing else
  Unrecognised,  // a keyword (or BODY value) not offered: 555
  SyntaxError,   // not keyword[=value], SIZE without a number, given twice: 501
  TooBig,        // declared SIZE above the limit: 552
};
// maxSize: the message size limit in bytes, 0 = none.
TMailParamResult CheckMailParams(const std::vector<std::string>& params, uint64_t maxSize);

// The EHLO reply lines (without line ends): greeting is the text of the HELO reply after
// "250 ", then SIZE, 8BITMIME, PIPELINING, the keywords of more (in their order) and,
// when offerTls, STARTTLS.
std::vector<std::string> EhloReply(const std::string& greeting, uint32_t maxSize, bool offerTls,
                                   const std::vector<std::string>& more = {});

// What follows "with" in the Received header: SMTP after HELO, ESMTP after EHLO, ESMTPS
// and a comment naming protocol and cipher on a TLS session; UTF8SMTP and UTF8SMTPS in
// their place for a transaction with SMTPUTF8.
std::string ReceivedProtocol(const TSMTPMsg& msg);

// The comment text of a TLS session: "TLSv1.3, cipher TLS_AES_256_GCM_SHA384, 256 bits".
std::string TlsDescription(const std::string& version, const std::string& cipher, int bits);

}  // namespace kestran
