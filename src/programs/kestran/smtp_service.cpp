#include "programs/kestran/smtp_service.h"

#include "programs/kestran/server_setup.h"

namespace kestran {

void TSMTPService::StartUp() {
  bool ok = ServerSetup().Init(this);
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
