#include "programs/kestran/smtp_service.h"

#include "platform/resolver.h"
#include "programs/kestran/server_setup.h"

namespace kestran {

void TSMTPService::StartUp() {
  bool ok = false;
  try {
    ok = ServerSetup().Init(this);
  } catch (const Exception&) {
    // A stop during the start abandons the start's own name lookup; the failure that
    // follows is the stop, not an error to report.
    if (!LookupsAbandoned()) throw;
  }
  // A failed set-up lets the thread return at once: the service passes from running to
  // stopped.
  if (!ok) RequestStop();
  Finished = false;
}

void TSMTPService::Run() {
  while (!Finished && !StopRequested()) {
    if (WaitForStop(500)) Finished = true;
  }
}

void TSMTPService::ShowBanner() {
  WriteLineOut(kBanner);
}

void TSMTPService::ShutDown() {
  ServerSetup().Done();
}

}  // namespace kestran
