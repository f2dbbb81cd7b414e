#include "smtp/smtp_msg.h"

namespace kestran {

uint64_t EnvelopeBytes(const tRecipientRec& rec) {
  constexpr uint64_t kBlockOverhead = 16;
  return 2 * sizeof(tRecipientRec) + rec.ToStr.size() + rec.Address.size() + 2 * kBlockOverhead;
}

tRecipientList::tRecipientList() = default;

bool tRecipientList::GetRecipientRec(int index, tRecipientRec& rec) const {
  if (index < 0 || static_cast<size_t>(index) >= items_.size()) {
    rec = tRecipientRec();
    return false;
  }
  rec = items_[static_cast<size_t>(index)];
  return true;
}

TSMTPMsg::TSMTPMsg() {
  Reset(true);
}

TSMTPMsg::~TSMTPMsg() {
  Recipients.Clear();
  Envelope.Release();
}

void TSMTPMsg::Reset(bool clearSession) {
  Recipients.Clear();
  MailAccepted = false;
  Utf8 = false;
  Chunks.Abandon();
  // Gives the memory of a large body back and deletes its scratch file.
  Data.Clear();
  Room.Release();
  DeclaredSize = 0;
  FromStr.clear();
  // Last, once what the transaction held is free: giving the budget back may return the
  // heap's free memory to the system.
  Envelope.Release();
  DateTime = 0;
  MsgId.clear();
  if (clearSession) {
    SendingDomain.clear();
    VerifiedSendingDomain.clear();
    SendingIP = "255.255.255.255";
    Extended = false;
    TlsInfo.clear();
  }
}

void TSMTPMsg::AppendDataLine(const std::string& line) {
  Data.AppendLine(line);
}

}  // namespace kestran
