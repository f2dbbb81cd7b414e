#pragma once
// The state of one SMTP session: who the client is, what it was granted when it
// connected, and the transaction in progress (sender, accepted recipients, body).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "smtp/bdat_intake.h"
#include "smtp/envelope_budget.h"
#include "smtp/message_body.h"
#include "smtp/space_reservation.h"

namespace kestran {

// One accepted recipient.
struct tRecipientRec {
  std::string ToStr;     // the RCPT argument exactly as received
  std::string Address;   // normalised address: local part, "@", domain
  bool IsLocal = false;  // the domain is one of the local domains
};

// The memory a recipient record holds in a transaction: its strings and its slot in the
// list (whose spare room may match it), with the heap's overhead per block.
uint64_t EnvelopeBytes(const tRecipientRec& rec);

// The accepted recipients of a transaction, in the order RCPT accepted them.
class tRecipientList {
 public:
  tRecipientList();
  void Add(const tRecipientRec& rec) { items_.push_back(rec); }
  // Empties the list and gives its memory back.
  void Clear() { std::vector<tRecipientRec>().swap(items_); }
  int Count() const { return static_cast<int>(items_.size()); }
  // A copy of entry index; an all-empty record when index is out of range.
  bool GetRecipientRec(int index, tRecipientRec& rec) const;
  const std::vector<tRecipientRec>& Items() const { return items_; }

 private:
  std::vector<tRecipientRec> items_;
};

class TSMTPMsg {
 public:
  TSMTPMsg();
  // The recipients are freed before their share of the budget goes back, as in Reset: a
  // session that ends in the middle of its transaction may be what returns free memory
  // to the system, and its own envelope must be free memory by then.
  ~TSMTPMsg();
  TSMTPMsg(const TSMTPMsg&) = delete;
  TSMTPMsg& operator=(const TSMTPMsg&) = delete;

  std::string SendingDomain;          // HELO argument; empty until HELO
  std::string VerifiedSendingDomain;  // reverse-resolved client name or "unverified"
  std::string SendingIP;              // client address: dotted, or IPv6 in the RFC 5952 form
  std::string FromStr;                // sender from MAIL
  tRecipientList Recipients;
  // The message: every line of DATA followed by CR LF (the trace headers are written in
  // front of it into the queue file).
  TMessageBody Data;
  double DateTime = 0;  // kept for handlers; the server does not set it
  std::string MsgId;
  std::string DenyReason;
  bool AccessDenied = false;
  bool RelayAllowed = false;
  // The client greeted with EHLO (the Received header then says ESMTP).
  bool Extended = false;
  // Protocol and cipher of the session after STARTTLS ("" before).
  std::string TlsInfo;
  // A MAIL command of this transaction was accepted (extended SMTP asks for one before
  // RCPT and DATA).
  bool MailAccepted = false;
  // Rate limits: whether the client is exempt (worked out when first needed), and the
  // recipients refused in the session, which no RSET or DATA clears.
  std::optional<bool> RateExempt;
  uint32_t BadRecipients = 0;
  bool BadRecipientLimitReached = false;
  // The share of the process-wide envelope budget that the recipients hold.
  TEnvelopeCharge Envelope;
  // The size the sender declared with MAIL (SIZE=), 0 when none.
  uint64_t DeclaredSize = 0;
  // The room the transaction holds in the queue's file system from MAIL on.
  TSpaceReservation Room;
  // A message coming in BDAT chunks (active from the first chunk to the last).
  TBdatIntake Chunks;
  // MAIL of this transaction carried SMTPUTF8: its addresses may hold UTF-8.
  bool Utf8 = false;

  // Clears the transaction (recipients and their budget, data and chunks, sender and its
  // acceptance, SMTPUTF8, date, id); with clearSession also
  // the HELO name, the verified name, the client address ("255.255.255.255"), the EHLO
  // mark and the TLS description.
  // The access decision of the session is never touched.
  void Reset(bool clearSession);

  // Appends one body line and its CR LF.
  void AppendDataLine(const std::string& line);
};

}  // namespace kestran
