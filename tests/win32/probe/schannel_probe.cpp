// Whether the system's Schannel can be the server side of a TLS handshake: loads a
// certificate with its key from a PKCS#12 file, listens on 127.0.0.1:PORT, completes one
// handshake, reads one line through DecryptMessage and answers it through EncryptMessage.
// Every step prints a line; the exit status is 0 only when the whole exchange worked.
//
//   schannel_probe.exe PORT FILE.pfx
#define SECURITY_WIN32
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Fail(const char* step, long code) {
  std::printf("probe: %s failed: 0x%08lx\n", step, static_cast<unsigned long>(code));
  std::fflush(stdout);
  return 1;
}

bool ReadAll(const char* path, std::vector<BYTE>& out) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  BYTE buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return true;
}

bool SendAll(SOCKET s, const void* data, unsigned long len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    int n = send(s, p, static_cast<int>(len), 0);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<unsigned long>(n);
  }
  return true;
}

const char* ProtocolName(DWORD p) {
  if (p & SP_PROT_TLS1_3_SERVER) return "TLSv1.3";
  if (p & SP_PROT_TLS1_2_SERVER) return "TLSv1.2";
  if (p & SP_PROT_TLS1_1_SERVER) return "TLSv1.1";
  if (p & SP_PROT_TLS1_0_SERVER) return "TLSv1.0";
  return "other";
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 3) {
    std::printf("usage: schannel_probe PORT FILE.pfx\n");
    return 2;
  }
  std::vector<BYTE> pfx;
  if (!ReadAll(argv[2], pfx)) return Fail("reading the PKCS#12 file", GetLastError());
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
  HCERTSTORE store = PFXImportCertStore(&blob, L"", CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
  if (store == nullptr) return Fail("PFXImportCertStore", GetLastError());
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
    DWORD size = 0;
    if (CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) break;
  }
  if (cert == nullptr) return Fail("finding a certificate with a private key", GetLastError());
  char subject[256];
  CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, sizeof subject);
  std::printf("probe: certificate '%s' with its private key imported\n", subject);

  SCHANNEL_CRED sc{};
  sc.dwVersion = SCHANNEL_CRED_VERSION;
  sc.cCreds = 1;
  sc.paCred = &cert;
  sc.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_3_SERVER;
  CredHandle cred;
  TimeStamp expiry;
  SECURITY_STATUS ss =
      AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_INBOUND,
                                nullptr, &sc, nullptr, nullptr, &cred, &expiry);
  if (ss != SEC_E_OK) {
    std::printf("probe: with TLS 1.2 and 1.3: 0x%08lx; again with TLS 1.2 only\n",
                static_cast<unsigned long>(ss));
    sc.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER;
    ss = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_INBOUND,
                                   nullptr, &sc, nullptr, nullptr, &cred, &expiry);
  }
  if (ss != SEC_E_OK) return Fail("AcquireCredentialsHandle(SECPKG_CRED_INBOUND)", ss);
  std::printf("probe: AcquireCredentialsHandle(SECPKG_CRED_INBOUND) = SEC_E_OK\n");

  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(ls, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(ls, 1) != 0)
    return Fail("bind/listen", WSAGetLastError());
  std::printf("probe: listening on 127.0.0.1:%s\n", argv[1]);
  SOCKET s = accept(ls, nullptr, nullptr);
  if (s == INVALID_SOCKET) return Fail("accept", WSAGetLastError());

  std::vector<char> in(65536);
  size_t have = 0;
  CtxtHandle ctx;
  bool haveCtx = false;
  const ULONG req = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                    ASC_REQ_EXTENDED_ERROR | ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;
  int rounds = 0;
  for (;;) {
    if (have == 0 || ss == SEC_E_INCOMPLETE_MESSAGE) {
      int n = recv(s, in.data() + have, static_cast<int>(in.size() - have), 0);
      if (n <= 0) return Fail("recv during the handshake", WSAGetLastError());
      have += static_cast<size_t>(n);
    }
    SecBuffer inBufs[2] = {{static_cast<ULONG>(have), SECBUFFER_TOKEN, in.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBufs};
    SecBuffer outBufs[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, outBufs};
    ULONG attrs = 0;
    ss = AcceptSecurityContext(&cred, haveCtx ? &ctx : nullptr, &inDesc, req, 0,
                               haveCtx ? nullptr : &ctx, &outDesc, &attrs, &expiry);
    ++rounds;
    std::printf("probe: AcceptSecurityContext round %d: 0x%08lx, %lu bytes in, %lu out\n", rounds,
                static_cast<unsigned long>(ss), static_cast<unsigned long>(have),
                static_cast<unsigned long>(outBufs[0].cbBuffer));
    if (ss == SEC_E_INCOMPLETE_MESSAGE) continue;
    haveCtx = true;
    if (outBufs[0].pvBuffer != nullptr && outBufs[0].cbBuffer > 0) {
      bool sent = SendAll(s, outBufs[0].pvBuffer, outBufs[0].cbBuffer);
      FreeContextBuffer(outBufs[0].pvBuffer);
      if (!sent) return Fail("send during the handshake", WSAGetLastError());
    }
    if (ss != SEC_E_OK && ss != SEC_I_CONTINUE_NEEDED) return Fail("AcceptSecurityContext", ss);
    size_t extra = inBufs[1].BufferType == SECBUFFER_EXTRA ? inBufs[1].cbBuffer : 0;
    std::memmove(in.data(), in.data() + have - extra, extra);
    have = extra;
    if (ss == SEC_E_OK) break;
  }
  SecPkgContext_ConnectionInfo info{};
  QueryContextAttributesA(&ctx, SECPKG_ATTR_CONNECTION_INFO, &info);
  SecPkgContext_StreamSizes sizes{};
  ss = QueryContextAttributesA(&ctx, SECPKG_ATTR_STREAM_SIZES, &sizes);
  if (ss != SEC_E_OK) return Fail("QueryContextAttributes(SECPKG_ATTR_STREAM_SIZES)", ss);
  std::printf("probe: handshake done: %s, cipher 0x%x with %lu bits; header %lu, trailer %lu\n",
              ProtocolName(info.dwProtocol), static_cast<unsigned>(info.aiCipher),
              static_cast<unsigned long>(info.dwCipherStrength),
              static_cast<unsigned long>(sizes.cbHeader),
              static_cast<unsigned long>(sizes.cbTrailer));

  std::string line;
  while (line.find('\n') == std::string::npos) {
    if (have > 0) {
      SecBuffer bufs[4] = {{static_cast<ULONG>(have), SECBUFFER_DATA, in.data()},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
      ss = DecryptMessage(&ctx, &desc, 0, nullptr);
      if (ss == SEC_E_OK || ss == SEC_I_RENEGOTIATE) {
        size_t extra = 0;
        for (auto& b : bufs) {
          if (b.BufferType == SECBUFFER_DATA)
            line.append(static_cast<char*>(b.pvBuffer), b.cbBuffer);
          if (b.BufferType == SECBUFFER_EXTRA) extra = b.cbBuffer;
        }
        std::printf("probe: DecryptMessage: 0x%08lx, %zu bytes left over\n",
                    static_cast<unsigned long>(ss), extra);
        std::memmove(in.data(), in.data() + have - extra, extra);
        have = extra;
        continue;
      }
      if (ss != SEC_E_INCOMPLETE_MESSAGE) return Fail("DecryptMessage", ss);
    }
    int n = recv(s, in.data() + have, static_cast<int>(in.size() - have), 0);
    if (n <= 0) return Fail("recv after the handshake", WSAGetLastError());
    have += static_cast<size_t>(n);
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::printf("probe: received '%s'\n", line.c_str());

  std::string reply = "250 probe heard '" + line + "'\r\n";
  std::vector<char> out(sizes.cbHeader + reply.size() + sizes.cbTrailer);
  std::memcpy(out.data() + sizes.cbHeader, reply.data(), reply.size());
  SecBuffer bufs[4] = {
      {sizes.cbHeader, SECBUFFER_STREAM_HEADER, out.data()},
      {static_cast<ULONG>(reply.size()), SECBUFFER_DATA, out.data() + sizes.cbHeader},
      {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, out.data() + sizes.cbHeader + reply.size()},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
  ss = EncryptMessage(&ctx, 0, &desc, 0);
  if (ss != SEC_E_OK) return Fail("EncryptMessage", ss);
  if (!SendAll(s, out.data(), bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer))
    return Fail("send of the reply", WSAGetLastError());
  std::printf("probe: EncryptMessage = SEC_E_OK, reply sent\n");
  DeleteSecurityContext(&ctx);
  FreeCredentialsHandle(&cred);
  closesocket(s);
  closesocket(ls);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
  return 0;
}
