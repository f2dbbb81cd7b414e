#pragma once
// The SMTP listener: the session on each connection thread (classification of the
// client, then the command loop) and the SMTP events. The policy, the replies and the
// queue writing are supplied by TConduitSMTPServer through the abstract operations.
//
// Every command event gets Handled = false; a handler that sets it replaces the built-in
// behaviour of that command (no reply, no change), except that QUIT still closes.

#include <cstdint>
#include <functional>
#include <string>

#include "smtp/smtp_msg.h"
#include "transport/server_conduit.h"

namespace kestran {

using THeloEvent = std::function<void(TConduitServerThread* thread, const std::string& domain,
                                      TSMTPMsg& sessionMsg, bool& handled)>;
// MAIL, SEND, SOML, SAML.
using TMailEvent = std::function<void(TConduitServerThread* thread, const std::string& fromStr,
                                      TSMTPMsg& sessionMsg, bool& handled)>;
using TRCPTEvent = std::function<void(TConduitServerThread* thread, const std::string& toStr,
                                      TSMTPMsg& sessionMsg, bool& handled)>;
// DATA, RSET, TURN.
using TDATAEvent =
    std::function<void(TConduitServerThread* thread, TSMTPMsg& sessionMsg, bool& handled)>;
using TVRFYEvent =
    std::function<void(TConduitServerThread* thread, const std::string& aName, bool& handled)>;
using TEXPNEvent =
    std::function<void(TConduitServerThread* thread, const std::string& aListName, bool& handled)>;
using THELPEvent =
    std::function<void(TConduitServerThread* thread, const std::string& aCommand, bool& handled)>;
// NOOP, QUIT.
using TSMTPEvent = std::function<void(TConduitServerThread* thread, bool& handled)>;
using TErrorEvent =
    std::function<void(TConduitServerThread* thread, const std::string& argStr, bool& handled)>;
using TLogFileEvent = std::function<void(const std::string& logFileEntry)>;
using TNextIDEvent = std::function<void(int32_t& id, bool& handled)>;
using TPOPAuthEvent = std::function<void(const std::string& ipAddy, bool& valid, bool& handled)>;

class TConduitSMTPListener : public TConduitListener {
 public:
  // Limits a receiver applies until configured otherwise.
  static constexpr uint32_t kDefaultMaxLineLength = 65536;
  static constexpr uint32_t kDefaultReceiveTimeout = 300;

  // Port 25.
  explicit TConduitSMTPListener(TConduitBase* owner = nullptr);
  ~TConduitSMTPListener() override;

  THeloEvent OnCommandHELO;
  TMailEvent OnCommandMAIL;
  TRCPTEvent OnCommandRCPT;
  TDATAEvent OnCommandDATA;
  TMailEvent OnCommandSEND;
  TMailEvent OnCommandSOML;
  TMailEvent OnCommandSAML;
  TDATAEvent OnCommandRSET;
  TVRFYEvent OnCommandVRFY;
  TEXPNEvent OnCommandEXPN;
  THELPEvent OnCommandHELP;
  TSMTPEvent OnCommandNOOP;
  TSMTPEvent OnCommandQUIT;
  TDATAEvent OnCommandTURN;
  TErrorEvent OnCommandError;
  TLogFileEvent OnLogFileEvent;

  // Runs one SMTP session (unless OnExecute is assigned, which then ran instead).
  bool DoExecute(TConduitServerThread* thread) override;

  // Splits a command line: the verb is the text before the first blank (all of it when
  // there is none), the argument the text after it without surrounding white space.
  static void SplitCommand(const std::string& line, std::string& verb, std::string& arg);

  // The session DoExecute runs on the calling thread: its state and the verb (upper case)
  // of the command being answered, "" when none is. nullptr on any other thread.
  struct TSessionContext {
    TSMTPMsg* msg = nullptr;
    std::string verb;
  };
  static const TSessionContext* CurrentSession();

 protected:
  virtual bool IsRelayAllowed(const std::string& ip) = 0;
  virtual void VerifyDomain(const std::string& ip, std::string& name) = 0;
  virtual bool CheckAccess(const std::string& ip, std::string& reason) = 0;
  virtual void DoCommandHELO(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                             bool& handled) = 0;
  virtual void DoCommandMAIL(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                             bool& handled) = 0;
  virtual void DoCommandRCPT(TConduitServerThread* thread, const std::string& arg, bool& handled,
                             TSMTPMsg& msg) = 0;
  virtual void DoCommandDATA(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) = 0;
  virtual void DoCommandSEND(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                             bool& handled) = 0;
  virtual void DoCommandSOML(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                             bool& handled) = 0;
  virtual void DoCommandSAML(TConduitServerThread* thread, const std::string& arg, TSMTPMsg& msg,
                             bool& handled) = 0;
  virtual void DoCommandRSET(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) = 0;
  virtual void DoCommandVRFY(TConduitServerThread* thread, const std::string& arg,
                             bool& handled) = 0;
  virtual void DoCommandEXPN(TConduitServerThread* thread, const std::string& arg,
                             bool& handled) = 0;
  virtual void DoCommandHELP(TConduitServerThread* thread, const std::string& arg,
                             bool& handled) = 0;
  virtual void DoCommandNOOP(TConduitServerThread* thread, bool& handled) = 0;
  virtual void DoCommandQUIT(TConduitServerThread* thread, bool& handled) = 0;
  virtual void DoCommandTURN(TConduitServerThread* thread, TSMTPMsg& msg, bool& handled) = 0;
  virtual void DoCommandError(TConduitServerThread* thread, const std::string& line,
                              bool& handled) = 0;

  // Reply to a command line longer than MaxLineLength (the session goes on).
  virtual void DoLineTooLong(TConduitServerThread* thread) = 0;
  // Reply to a HELO, MAIL or RCPT argument holding a control character (nothing changes).
  virtual void DoControlCharacters(TConduitServerThread* thread, const std::string& verb) = 0;
  // The client stayed silent for ReceiveTimeout: say so (best effort) and close.
  virtual void DoIdleTimeout(TConduitServerThread* thread) = 0;
  // Commands of extended SMTP (verb upper-cased, argument split off, the raw line):
  // true when the command was taken care of, false to go on with the plain dialogue.
  virtual bool DoExtendedCommand(TConduitServerThread* /*thread*/, TSMTPMsg& /*msg*/,
                                 const std::string& /*verb*/, const std::string& /*arg*/,
                                 const std::string& /*line*/) {
    return false;
  }

 private:
  // Steps before the first command: relay, refusal and reverse name, fixed for the session.
  void ClassifyClient(TSMTPMsg& msg);
  void Dispatch(TConduitServerThread* thread, TSMTPMsg& msg, const std::string& line);
};

// A control character (0x00 to 0x1F, or DEL) or a Unicode line break in UTF-8 (NEL,
// U+2028, U+2029) somewhere in the text: line readers split lines on more than CR and LF
// (VT, FF, 0x1C to 0x1E, and those three), so none may reach a queue file.
bool HasLineControlCharacters(const std::string& text);

}  // namespace kestran
