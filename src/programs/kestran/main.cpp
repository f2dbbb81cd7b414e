// KESTRAN: the inbound SMTP receiver as a service (or, with -DEBUG, in a console).

#include <cstdlib>

#include "programs/kestran/smtp_service.h"
#include "service/servroot.h"

int main(int argc, char** argv) {
  auto& service = kestran::MakeService<kestran::TSMTPService>(kestran::kServiceName,
                                                              kestran::kServiceDisplayName);
  int status = kestran::RunServicesMain(argc, argv);
  // Once the service has stopped, its sessions are ended in order before the process
  // goes, so that no queue file is cut off by the exit.
  service.ShutDown();
  if (status == 0 && service.StartFailed) status = 1;
  std::exit(status);
}
