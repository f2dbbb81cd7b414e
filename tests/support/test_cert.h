#pragma once
// A throwaway self-signed certificate for TLS tests, made with the openssl program.

#include <string>

namespace kestran::test {

// Writes a new EC key and a self-signed certificate for commonName into the two files;
// false when the openssl program is missing or fails.
bool MakeSelfSignedCert(const std::string& certFile, const std::string& keyFile,
                        const std::string& commonName = "localhost");

// Runs a shell command; returns its exit status and its output (standard error too).
int RunCommand(const std::string& command, std::string& output);

}  // namespace kestran::test
