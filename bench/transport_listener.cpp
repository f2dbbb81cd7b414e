// A small listener for measuring accepted connections per second: each session writes
// "220 ready", reads one line, answers "221 bye" and closes. Prints "PORT <n>" once
// listening (port 0 by default: the system picks one) and runs until standard input ends.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "transport/server_conduit.h"

int main(int argc, char** argv) {
  kestran::TConduitListener listener;
  listener.SetBoundIP("127.0.0.1");
  listener.SetPort(argc > 1 ? std::atoi(argv[1]) : 0);
  listener.SetReceiveTimeout(10);
  listener.OnExecute = [](kestran::TConduitServerThread* thread) {
    kestran::TConduitServer* c = thread->Connection();
    c->WriteLn("220 ready");
    c->ReadLn();
    c->WriteLn("221 bye");
    c->Disconnect();
  };
  try {
    listener.SetActive(true);
  } catch (const kestran::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("PORT %d\n", listener.Port());
  std::fflush(stdout);
  std::string ignored;
  while (std::getline(std::cin, ignored)) {
  }
  return 0;
}
