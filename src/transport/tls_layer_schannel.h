#pragma once
// The Windows side of the TLS layer, on the system's Schannel: the credential a context
// holds, the state of one connection's channel, and the pieces the tests reach (PEM
// blocks, thumbprints, the security functions a channel calls).

#include "platform/os_win32.h"
// (the Windows headers first)
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#ifndef SCHANNEL_USE_BLACKLISTS
#define SCHANNEL_USE_BLACKLISTS
#endif
// clang-format off
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
// clang-format on

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kestran {

// One "-----BEGIN label-----" ... "-----END label-----" block of a PEM text, decoded.
struct TPemBlock {
  std::string label;
  std::string der;
};

// The blocks of a PEM text in their order. A block whose end line is missing or whose
// base64 does not decode ends the list.
std::vector<TPemBlock> ReadPemBlocks(const std::string& text);

// A certificate's SHA-1 hash as written in a thumbprint setting: 40 hex digits in either
// case; blanks, colons and the invisible marks that a copy from the certificate dialog
// brings along are ignored. False for anything else.
bool ParseThumbprint(const std::string& text, std::array<uint8_t, 20>& hash);

// A certificate's SHA-1 hash as 40 upper-case hex digits ("" when it has none).
std::string CertificateThumbprint(PCCERT_CONTEXT cert);

// The certificate of that hash in the store, or the newest of those that renewed it (the
// store's renewal links followed); nullptr when the store has none of that hash.
PCCERT_CONTEXT NewestRenewal(HCERTSTORE store, const std::array<uint8_t, 20>& hash);

// The thumbprint of the certificate that a thumbprint setting stands for now: the one
// named, or the newest of those that renewed it in the local machine's "My" store.
// Raises Exception naming the setting when there is none or it has no private key.
std::string ResolveThumbprint(const std::string& thumbprint);

// The security functions that channels call; a test may put its own table in place
// (nullptr: the system's again). Credentials are always acquired from the system.
const SecurityFunctionTableW& Sspi();
void SetSspiForTest(const SecurityFunctionTableW* table);

// A server credential: the certificate (in a store holding its chain) and Schannel's
// handle for it. A key read from a PEM file lives in a key container of its own, deleted
// with the credential.
struct TSchannelCredential {
  TSchannelCredential() = default;
  TSchannelCredential(const TSchannelCredential&) = delete;
  TSchannelCredential& operator=(const TSchannelCredential&) = delete;
  ~TSchannelCredential();

  CredHandle handle{};
  bool haveHandle = false;
  HCERTSTORE store = nullptr;
  PCCERT_CONTEXT cert = nullptr;
  std::wstring container;  // the key container made for a PEM key ("" when none)
  DWORD protocols = 0;     // SP_PROT_* enabled for it
};

// The Schannel state of one channel (TTlsChannel).
struct TSchannelSession {
  TSchannelSession() = default;
  TSchannelSession(const TSchannelSession&) = delete;
  TSchannelSession& operator=(const TSchannelSession&) = delete;
  ~TSchannelSession();

  CtxtHandle ctx{};
  bool haveCtx = false;
  SecPkgContext_StreamSizes sizes{};
  std::vector<char> in;  // received records not yet decrypted: in[0, inLen)
  size_t inLen = 0;
  std::string plain;  // decrypted bytes not yet read: plain[plainPos, size)
  size_t plainPos = 0;
  bool peerClosed = false;
};

}  // namespace kestran
