#include "deliver/bounce_message.h"

#include "platform/clock.h"
#include "smtp/defdate.h"

namespace kestran {

namespace {

std::string DateOf(int64_t unixTime) {
  const LocalTime r = LocalTimeAt(unixTime);
  return r.year == 0 ? RFC822Date() : RFC822Date(r);
}

bool IsDigits(const std::string& s, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

std::string HeaderBlock(const std::string& stuffedStart, size_t maxBytes) {
  std::string out;
  size_t pos = 0;
  while (pos < stuffedStart.size()) {
    size_t end = stuffedStart.find("\r\n", pos);
    if (end == std::string::npos) break;  // a cut-off line is left out
    if (end == pos) break;                // the end of the header block
    size_t from = stuffedStart[pos] == '.' ? pos + 1 : pos;
    if (out.size() + (end - from) + 2 > maxBytes) break;
    out.append(stuffedStart, from, end - from);
    out += "\r\n";
    pos = end + 2;
  }
  return out;
}

std::string StatusCode(const TFailedRecipient& r) {
  const char cls = r.expired ? '4' : '5';
  // "550 5.1.1 text": the second word, when it is class.digits.digits.
  const size_t start = r.reply.find(' ');
  if (start != std::string::npos) {
    size_t end = r.reply.find(' ', start + 1);
    if (end == std::string::npos) end = r.reply.size();
    const std::string word = r.reply.substr(start + 1, end - start - 1);
    const size_t d1 = word.find('.');
    const size_t d2 = d1 == std::string::npos ? d1 : word.find('.', d1 + 1);
    if (word.size() >= 5 && word[0] == cls && d1 == 1 && d2 != std::string::npos &&
        IsDigits(word, 2, d2) && IsDigits(word, d2 + 1, word.size()) && d2 - 2 <= 3 &&
        word.size() - d2 - 1 <= 3)
      return word;
  }
  return r.expired ? "4.4.7" : "5.0.0";
}

std::string ComposeBounce(const TBounceInfo& info, const std::string& originalHeaders) {
  const std::string boundary = info.queueId + "." + std::to_string(info.now) + "/" + info.hostName;
  const std::string date = DateOf(info.now);
  std::string m;
  m += "From: Mail Delivery System <MAILER-DAEMON@" + info.hostName + ">\r\n";
  m += "To: <" + info.returnPath + ">\r\n";
  m += "Subject: Undelivered Mail Returned to Sender\r\n";
  m += "Date: " + date + "\r\n";
  m += "Message-ID: <" + info.queueId + "." + std::to_string(info.now) + ".dsn@" + info.hostName +
       ">\r\n";
  m += "Auto-Submitted: auto-replied\r\n";
  m += "MIME-Version: 1.0\r\n";
  m += "Content-Type: multipart/report; report-type=delivery-status;\r\n";
  m += "\tboundary=\"" + boundary + "\"\r\n";
  m += "\r\nThis is a MIME-encapsulated message.\r\n\r\n";

  m += "--" + boundary + "\r\n";
  m += "Content-Description: Notification\r\n";
  m += "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
  m += "This is the mail system at host " + info.hostName + ".\r\n\r\n";
  m += "Your message could not be delivered to one or more recipients.\r\n";
  m += "It is attached below (its headers only).\r\n\r\n";
  for (const auto& r : info.recipients) {
    m += "<" + r.address + ">: ";
    m += r.expired ? "delivery time expired, last reply: " + r.reply : r.reply;
    m += "\r\n";
  }
  m += "\r\n";

  m += "--" + boundary + "\r\n";
  m += "Content-Description: Delivery report\r\n";
  m += "Content-Type: message/delivery-status\r\n\r\n";
  m += "Reporting-MTA: dns; " + info.hostName + "\r\n";
  m += "X-Kestran-Queue-ID: " + info.queueId + "\r\n";
  m += "Arrival-Date: " + DateOf(static_cast<int64_t>(info.arrival)) + "\r\n";
  for (const auto& r : info.recipients) {
    m += "\r\n";
    m += "Final-Recipient: rfc822; " + r.address + "\r\n";
    m += "Action: failed\r\n";
    m += "Status: " + StatusCode(r) + "\r\n";
    if (!info.remoteMta.empty() && r.code != 0) m += "Remote-MTA: dns; " + info.remoteMta + "\r\n";
    if (r.code != 0)
      m += "Diagnostic-Code: smtp; " + r.reply + "\r\n";
    else if (!r.reply.empty())
      m += "Diagnostic-Code: X-Kestran; " + r.reply + "\r\n";
    if (r.lastTry != 0) m += "Last-Attempt-Date: " + DateOf(r.lastTry) + "\r\n";
  }
  m += "\r\n";

  m += "--" + boundary + "\r\n";
  m += "Content-Description: Undelivered Message Headers\r\n";
  m += "Content-Type: text/rfc822-headers\r\n\r\n";
  m += originalHeaders;
  m += "\r\n--" + boundary + "--\r\n";
  return m;
}

}  // namespace kestran
