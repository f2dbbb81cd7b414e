#include "transport/accept_failures.h"

#include <algorithm>

#include "transport/winsock_intf.h"

namespace kestran {

TAcceptFailureKind ClassifyAcceptFailure(int code) {
  switch (code) {
    case 10013:  // refused by a packet filter
    case 10042:  // a protocol option of the new connection
    case 10045:  // an operation the new connection does not support
    case 10050:  // network down
    case 10051:  // network unreachable
    case 10052:  // dropped on reset
    case 10053:  // aborted before it was accepted
    case 10054:  // reset before it was accepted
    case 10057:  // not connected: reset before it was accepted (Wine)
    case 10060:  // timed out
    case 10064:  // host down
    case 10065:  // no route
      return TAcceptFailureKind::Connection;
    case 10024:  // too many open files (process or system)
    case 10055:  // no buffer space, no memory
      return TAcceptFailureKind::Resources;
    default:
      return TAcceptFailureKind::Unexpected;
  }
}

uint32_t TAcceptBackoff::Next() {
  const uint32_t ms = nextMs_;
  nextMs_ = std::min(nextMs_ * 2, kLongestMs);
  return ms;
}

void TAcceptFailureReports::SetInterval(std::chrono::milliseconds interval) {
  std::lock_guard<std::mutex> g(lock_);
  interval_ = interval;
}

std::string TAcceptFailureReports::Count(TAcceptFailureKind kind, const std::string& cause) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> g(lock_);
  Counter& c = counters_[static_cast<size_t>(kind)];
  ++c.total;
  ++c.unreported;
  c.lastCause = cause;
  std::string line;
  if (!c.reported || now - c.reportedAt >= interval_) line = Line(kind, c, now);
  NoteWaiting();
  return line;
}

void TAcceptFailureReports::NoteWaiting() {
  bool any = false;
  for (const auto& c : counters_) any = any || c.unreported > 0;
  waiting_.store(any, std::memory_order_relaxed);
}

std::vector<std::pair<TAcceptFailureKind, std::string>> TAcceptFailureReports::Due() {
  std::vector<std::pair<TAcceptFailureKind, std::string>> lines;
  if (!waiting_.load(std::memory_order_relaxed)) return lines;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> g(lock_);
  for (size_t k = 0; k < kKinds; ++k) {
    Counter& c = counters_[k];
    if (c.unreported > 0 && now - c.reportedAt >= interval_) {
      const auto kind = static_cast<TAcceptFailureKind>(k);
      lines.emplace_back(kind, Line(kind, c, now));
    }
  }
  NoteWaiting();
  return lines;
}

uint64_t TAcceptFailureReports::Total(TAcceptFailureKind kind) const {
  std::lock_guard<std::mutex> g(lock_);
  return counters_[static_cast<size_t>(kind)].total;
}

std::string TAcceptFailureReports::Line(TAcceptFailureKind kind, Counter& c,
                                        std::chrono::steady_clock::time_point now) {
  const char* what = "";
  switch (kind) {
    case TAcceptFailureKind::Connection:
      what = "Connections that failed before they were accepted were skipped";
      break;
    case TAcceptFailureKind::Resources:
      what = "Accepting connections failed for lack of resources; accepting again after a pause";
      break;
    case TAcceptFailureKind::Unexpected:
      what = "Accepting connections failed; accepting again after a pause";
      break;
    case TAcceptFailureKind::NoThread:
      what = "No thread could be created for a connection; refused with 421";
      break;
    case TAcceptFailureKind::ProxyHeader:
      what = "Connections from a load balancer without a valid PROXY header were closed";
      break;
  }
  std::string line = std::string(what) + " (" + std::to_string(c.unreported) +
                     " since the last report; last cause: " + c.lastCause + ")";
  c.unreported = 0;
  c.reported = true;
  c.reportedAt = now;
  return line;
}

std::string SocketErrorCause(int code) {
  std::string text = GWinsockIntf().TranslateErrorMsg(code);
  const size_t crlf = text.find("\r\n");
  if (crlf != std::string::npos) text.replace(crlf, 2, " ");
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace kestran
