#include <algorithm>
#include <cstdlib>

#include "service/servroot.h"

namespace kestran {
namespace {

std::string NormalisedSwitch(int argc, char** argv) {
  std::string sw = argc > 1 && argv[1] ? argv[1] : "";
  if (sw.size() > 255) sw.resize(255);
  for (char& c : sw)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (!sw.empty() && sw[0] == '/') sw[0] = '-';
  return sw;
}

void RunDispatcher(const std::vector<TService*>& services) {
  std::vector<TServiceTableEntry> table;
  for (TService* s : services) table.push_back({s->Name(), s->ServiceMainEntry});
  if (!StartServiceCtrlDispatcher(table)) throw Exception("StartServiceCtrlDispatcher failed.");
}

}  // namespace

int RunServicesMain(int argc, char** argv) {
  try {
    std::vector<TService*> services = ServiceList().Items();
    if (services.empty()) throw Exception("No services to handle.");
    std::string sw = NormalisedSwitch(argc, argv);
    if (sw == "-INSTALL" || sw == "-REMOVE" || sw == "-DEBUG" || sw == "-VERSION" ||
        sw == "-CHECK") {
      services.front()->ShowBanner();
      if (sw == "-CHECK") {
        int status = 0;
        for (TService* s : services) status = std::max(status, s->Check());
        return status;
      }
      if (sw == "-INSTALL") {
        for (TService* s : services) s->Install();
      } else if (sw == "-REMOVE") {
        for (TService* s : services) s->Remove();
      } else if (sw == "-DEBUG") {
        RunConsole();
      }
    } else {
      try {
        RunDispatcher(services);
      } catch (const Exception& e) {
        // Started from a console with a switch the program does not know: the error, then
        // what the switches are.
        WriteLineOut(std::string(e.ClassName()) + ": " + e.Message());
        if (!sw.empty()) services.front()->ShowUsage();
        return 1;
      }
    }
    return 0;
  } catch (const Exception& e) {
    WriteLineOut(std::string(e.ClassName()) + ": " + e.Message());
    return 1;
  } catch (const std::exception& e) {
    WriteLineOut(std::string("Error: ") + e.what());
    return 1;
  }
}

void RunServices(int argc, char** argv) {
  std::exit(RunServicesMain(argc, argv));
}

}  // namespace kestran
