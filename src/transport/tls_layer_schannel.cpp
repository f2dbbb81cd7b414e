// TLS on Windows through Schannel: credentials from PEM files or from the local machine's
// certificate store, and the server side of a connection's channel.

#include "transport/tls_layer_schannel.h"
// (the Windows headers first)
#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "transport/rsa_key_der.h"
#include "transport/tls_layer.h"
#include "transport/winsock_intf.h"

namespace kestran {

namespace {

constexpr int kConnAborted = 10053;
constexpr int kTimedOut = 10060;
// A handshake message or record that does not fit in this is refused.
constexpr size_t kMaxInput = 256 * 1024;
constexpr size_t kInputChunk = 17 * 1024 + 512;

const SecurityFunctionTableW* gTestSspi = nullptr;

// Schannel's status codes as the texts a log reader needs.
std::string StatusText(SECURITY_STATUS ss) {
  switch (static_cast<unsigned long>(ss)) {
    case 0x80090331UL:  // SEC_E_ALGORITHM_MISMATCH
      return "no protocol version or cipher suite in common";
    case 0x80090326UL:  // SEC_E_ILLEGAL_MESSAGE
      return "the client's data are not a TLS handshake";
    case 0x80090327UL:  // SEC_E_CERT_UNKNOWN
    case 0x80090328UL:  // SEC_E_CERT_EXPIRED
      return "the client refused the certificate";
    case 0x80090302UL:  // SEC_E_UNSUPPORTED_FUNCTION
      return "the system cannot be the server side of a TLS handshake";
    case 0x8009030EUL:  // SEC_E_NO_CREDENTIALS
      return "no usable credentials (is the private key accessible?)";
    case 0x80090304UL:  // SEC_E_INTERNAL_ERROR
      return "internal error of the TLS provider";
    case 0x80090321UL:  // SEC_E_BUFFER_TOO_SMALL
      return "record too large";
    case 0x80090330UL:  // SEC_E_DECRYPT_FAILURE
    case 0x8009030FUL:  // SEC_E_MESSAGE_ALTERED
      return "a record failed its integrity check";
    default: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "status 0x%08lx", static_cast<unsigned long>(ss));
      return buf;
    }
  }
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Base64 with blanks and line ends between the characters; false when anything else is
// there or the padding is wrong.
bool DecodeBase64(const std::string& text, std::string& out) {
  out.clear();
  uint32_t acc = 0;
  int bits = 0;
  int pad = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++pad;
      continue;
    }
    int v = Base64Value(c);
    if (v < 0 || pad > 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  return pad <= 2 && bits < 6 && !out.empty();
}

// ---------------------------------------------------------------- keys

// The RSA key of a PEM key text; raises Exception naming the file otherwise.
TRsaKey ReadRsaKey(const std::string& keyName, const std::string& keyPem) {
  const std::string notRsa = "The private key in the TLS key file " + keyName +
                             " is not an RSA key; on Windows a key of another kind is taken " +
                             "from the certificate store ('TLSCertificateThumbprint')";
  TRsaKey key;
  for (const TPemBlock& b : ReadPemBlocks(keyPem)) {
    if (b.label == "RSA PRIVATE KEY" && ReadRsaPrivateKey(b.der, key)) return key;
    if (b.label == "PRIVATE KEY") {
      TKeyDer kind = ReadPkcs8PrivateKey(b.der, key);
      if (kind == TKeyDer::Rsa) return key;
      if (kind == TKeyDer::OtherAlgorithm) throw Exception(notRsa);
    }
    if (b.label == "EC PRIVATE KEY") throw Exception(notRsa);
  }
  throw Exception("No unencrypted PEM private key in the TLS key file " + keyName);
}

// Whether the key is the certificate's public key.
bool KeyMatches(const TRsaKey& key, PCCERT_CONTEXT cert) {
  const CERT_PUBLIC_KEY_INFO& info = cert->pCertInfo->SubjectPublicKeyInfo;
  if (std::strcmp(info.Algorithm.pszObjId, szOID_RSA_RSA) != 0) return false;
  TRsaKey pub;
  return ReadRsaPublicKey(std::string(reinterpret_cast<const char*>(info.PublicKey.pbData),
                                      info.PublicKey.cbData),
                          pub) &&
         pub.n == key.n && pub.e == key.e;
}

// A key container name no other credential of this machine uses.
std::wstring NewContainerName() {
  static std::atomic<uint32_t> counter{0};
  wchar_t name[96];
  std::swprintf(
      name, 96, L"kestran-tls-%lu-%llu-%lu", static_cast<unsigned long>(::GetCurrentProcessId()),
      static_cast<unsigned long long>(::GetTickCount64()), static_cast<unsigned long>(++counter));
  return name;
}

// Puts the key blob into a new key container and ties the certificate to it.
bool ImportKey(TSchannelCredential& c, const std::string& keyBlob) {
  const std::wstring name = NewContainerName();
  HCRYPTPROV prov = 0;
  if (!::CryptAcquireContextW(&prov, name.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_NEWKEYSET | CRYPT_SILENT))
    return false;
  c.container = name;
  HCRYPTKEY key = 0;
  // Exportable: some Schannel implementations hand the key to their TLS library that way.
  bool ok = ::CryptImportKey(prov, reinterpret_cast<const BYTE*>(keyBlob.data()),
                             static_cast<DWORD>(keyBlob.size()), 0, CRYPT_EXPORTABLE, &key) != 0;
  if (key != 0) ::CryptDestroyKey(key);
  ::CryptReleaseContext(prov, 0);
  if (!ok) return false;
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = const_cast<wchar_t*>(c.container.c_str());
  info.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
  info.dwProvType = PROV_RSA_AES;
  info.dwKeySpec = AT_KEYEXCHANGE;
  return ::CertSetCertificateContextProperty(c.cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != 0;
}

// Schannel's server credential for the certificate: TLS 1.2 and 1.3 where the system
// has both, otherwise TLS 1.2 alone.
SECURITY_STATUS AcquireServerCredential(TSchannelCredential& c) {
  TimeStamp expiry;
  const DWORD modern = SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_3_SERVER;
  // The newer structure, which is the only one that enables TLS 1.3: everything older
  // than TLS 1.2 disabled.
  TLS_PARAMETERS params{};
  params.grbitDisabledProtocols =
      SP_PROT_SSL2_SERVER | SP_PROT_SSL3_SERVER | SP_PROT_TLS1_0_SERVER | SP_PROT_TLS1_1_SERVER;
  SCH_CREDENTIALS sch{};
  sch.dwVersion = SCH_CREDENTIALS_VERSION;
  sch.cCreds = 1;
  sch.paCred = &c.cert;
  sch.dwFlags = SCH_USE_STRONG_CRYPTO | SCH_CRED_NO_SYSTEM_MAPPER;
  sch.cTlsParameters = 1;
  sch.pTlsParameters = &params;
  SECURITY_STATUS ss =
      ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_INBOUND,
                                  nullptr, &sch, nullptr, nullptr, &c.handle, &expiry);
  if (ss == SEC_E_OK) {
    c.protocols = modern;
    c.haveHandle = true;
    return ss;
  }
  // Older systems know only the older structure, some of them without TLS 1.3.
  for (DWORD protocols : {modern, static_cast<DWORD>(SP_PROT_TLS1_2_SERVER)}) {
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.cCreds = 1;
    cred.paCred = &c.cert;
    cred.grbitEnabledProtocols = protocols;
    cred.dwFlags = SCH_USE_STRONG_CRYPTO | SCH_CRED_NO_SYSTEM_MAPPER;
    ss = ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                     SECPKG_CRED_INBOUND, nullptr, &cred, nullptr, nullptr,
                                     &c.handle, &expiry);
    if (ss == SEC_E_OK) {
      c.protocols = protocols;
      c.haveHandle = true;
      return ss;
    }
  }
  return ss;
}

std::string HexOf(const std::array<uint8_t, 20>& hash) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : hash) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- shared pieces

std::vector<TPemBlock> ReadPemBlocks(const std::string& text) {
  std::vector<TPemBlock> blocks;
  size_t pos = 0;
  for (;;) {
    size_t begin = text.find("-----BEGIN ", pos);
    if (begin == std::string::npos) break;
    size_t labelStart = begin + 11;
    size_t labelEnd = text.find("-----", labelStart);
    if (labelEnd == std::string::npos) break;
    std::string label = text.substr(labelStart, labelEnd - labelStart);
    const std::string endLine = "-----END " + label + "-----";
    size_t body = labelEnd + 5;
    size_t end = text.find(endLine, body);
    if (end == std::string::npos) break;
    std::string der;
    // Encrypted keys carry header lines ("Proc-Type: ...") before the base64: they do
    // not decode, and such a key is reported as missing.
    if (!DecodeBase64(text.substr(body, end - body), der)) break;
    blocks.push_back({std::move(label), std::move(der)});
    pos = end + endLine.size();
  }
  return blocks;
}

bool ParseThumbprint(const std::string& text, std::array<uint8_t, 20>& hash) {
  std::string hex;
  for (unsigned char c : text) {
    if (std::isxdigit(c)) {
      hex.push_back(static_cast<char>(c));
    } else if (c == ' ' || c == '\t' || c == ':' || c >= 0x80 || (c == '?' && hex.empty())) {
      // Blanks and colons between the digits; the left-to-right mark the certificate
      // dialog puts in front, as UTF-8 or as "?" after a conversion to the ANSI page.
      continue;
    } else {
      return false;
    }
  }
  if (hex.size() != 40) return false;
  for (size_t i = 0; i < 20; ++i)
    hash[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return true;
}

const SecurityFunctionTableW& Sspi() {
  if (gTestSspi != nullptr) return *gTestSspi;
  static const SecurityFunctionTableW* system = ::InitSecurityInterfaceW();
  return *system;
}

void SetSspiForTest(const SecurityFunctionTableW* table) {
  gTestSspi = table;
}

PCCERT_CONTEXT NewestRenewal(HCERTSTORE store, const std::array<uint8_t, 20>& hash) {
  PCCERT_CONTEXT cert = nullptr;
  std::array<uint8_t, 20> want = hash;
  // A certificate renewed in the store names its successor; the chain is followed to the
  // newest one still there (a bounded number of steps: the links may form a loop).
  for (int hop = 0; hop < 16; ++hop) {
    CRYPT_HASH_BLOB blob{20, want.data()};
    PCCERT_CONTEXT found = ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                        CERT_FIND_SHA1_HASH, &blob, nullptr);
    if (found == nullptr) break;
    if (cert != nullptr) ::CertFreeCertificateContext(cert);
    cert = found;
    DWORD size = 20;
    std::array<uint8_t, 20> next{};
    if (!::CertGetCertificateContextProperty(found, CERT_RENEWAL_PROP_ID, next.data(), &size) ||
        size != 20 || next == want)
      break;
    want = next;
  }
  return cert;
}

std::string CertificateThumbprint(PCCERT_CONTEXT cert) {
  std::array<uint8_t, 20> hash{};
  DWORD size = 20;
  if (cert == nullptr ||
      !::CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash.data(), &size))
    return std::string();
  return HexOf(hash);
}

TSchannelCredential::~TSchannelCredential() {
  if (haveHandle) ::FreeCredentialsHandle(&handle);
  if (cert != nullptr) ::CertFreeCertificateContext(cert);
  if (store != nullptr) ::CertCloseStore(store, 0);
  if (!container.empty()) {
    HCRYPTPROV prov = 0;
    ::CryptAcquireContextW(&prov, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                           CRYPT_DELETEKEYSET | CRYPT_SILENT);
  }
}

TSchannelSession::~TSchannelSession() {
  if (haveCtx) Sspi().DeleteSecurityContext(&ctx);
}

bool TlsAvailable() {
  return true;
}

// ---------------------------------------------------------------- server context

TTlsServerContext::TTlsServerContext(std::unique_ptr<TSchannelCredential> cred)
    : cred_(std::move(cred)) {}

TTlsServerContext::~TTlsServerContext() = default;

std::shared_ptr<const TTlsServerContext> TTlsServerContext::FromPem(const std::string& certName,
                                                                    const std::string& certPem,
                                                                    const std::string& keyName,
                                                                    const std::string& keyPem) {
  auto cred = std::make_unique<TSchannelCredential>();
  cred->store = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (cred->store == nullptr) throw Exception("Cannot set up TLS: no memory certificate store");
  // The first certificate is the receiver's, the rest the chain up to the issuer.
  for (const TPemBlock& b : ReadPemBlocks(certPem)) {
    if (b.label != "CERTIFICATE" && b.label != "TRUSTED CERTIFICATE") continue;
    PCCERT_CONTEXT added = nullptr;
    if (!::CertAddEncodedCertificateToStore(
            cred->store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(b.der.data()),
            static_cast<DWORD>(b.der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
            cred->cert == nullptr ? &added : nullptr))
      throw Exception((cred->cert == nullptr
                           ? "Cannot use the TLS certificate file "
                           : "Cannot use the chain in the TLS certificate file ") +
                      certName + ": not an X.509 certificate");
    if (cred->cert == nullptr) cred->cert = added;
  }
  if (cred->cert == nullptr)
    throw Exception("No PEM certificate in the TLS certificate file " + certName);

  const TRsaKey key = ReadRsaKey(keyName, keyPem);
  if (!KeyMatches(key, cred->cert))
    throw Exception("The TLS key file " + keyName +
                    " does not match the certificate of the TLS certificate file " + certName);
  const std::string keyBlob = CapiPrivateKeyBlob(key);
  if (keyBlob.empty() || !ImportKey(*cred, keyBlob))
    throw Exception("Cannot use the TLS key file " + keyName + ": the key cannot be stored (" +
                    std::to_string(::GetLastError()) + ")");
  SECURITY_STATUS ss = AcquireServerCredential(*cred);
  if (ss != SEC_E_OK)
    throw Exception("Cannot use the TLS certificate file " + certName + ": " + StatusText(ss));
  return std::shared_ptr<const TTlsServerContext>(new TTlsServerContext(std::move(cred)));
}

namespace {

// The certificate that a thumbprint stands for, in cred->cert (the store in cred->store).
void FindByThumbprint(const std::string& thumbprint, TSchannelCredential& c) {
  const std::string setting = "'" + thumbprint + "' in 'TLSCertificateThumbprint'";
  std::array<uint8_t, 20> hash{};
  if (!ParseThumbprint(thumbprint, hash))
    throw Exception("Invalid certificate thumbprint " + setting + " (40 hex digits expected)");
  TSchannelCredential* cred = &c;
  cred->store = ::CertOpenStore(
      CERT_STORE_PROV_SYSTEM_W, 0, 0,
      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
      L"My");
  if (cred->store == nullptr)
    throw Exception("Cannot open the local machine's certificate store 'My' for " + setting + " (" +
                    std::to_string(::GetLastError()) + ")");
  cred->cert = NewestRenewal(cred->store, hash);
  if (cred->cert == nullptr)
    throw Exception("No certificate " + setting + " in the local machine's store 'My'");
  DWORD size = 0;
  if (!::CertGetCertificateContextProperty(cred->cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                           &size) &&
      !::CertGetCertificateContextProperty(cred->cert, CERT_NCRYPT_KEY_HANDLE_PROP_ID, nullptr,
                                           &size))
    throw Exception("The certificate " + setting + " has no private key");
}

}  // namespace

std::string ResolveThumbprint(const std::string& thumbprint) {
  TSchannelCredential cred;
  FindByThumbprint(thumbprint, cred);
  return CertificateThumbprint(cred.cert);
}

std::shared_ptr<const TTlsServerContext> TTlsServerContext::FromThumbprint(
    const std::string& thumbprint) {
  const std::string setting = "'" + thumbprint + "' in 'TLSCertificateThumbprint'";
  auto cred = std::make_unique<TSchannelCredential>();
  FindByThumbprint(thumbprint, *cred);
  SECURITY_STATUS ss = AcquireServerCredential(*cred);
  if (ss != SEC_E_OK)
    throw Exception("Cannot use the certificate " + setting + ": " + StatusText(ss));
  return std::shared_ptr<const TTlsServerContext>(new TTlsServerContext(std::move(cred)));
}

// ---------------------------------------------------------------- channel

TTlsChannel::TTlsChannel(std::shared_ptr<const TTlsServerContext> context, TSocket socket)
    : context_(std::move(context)),
      socket_(socket),
      session_(std::make_unique<TSchannelSession>()) {}

TTlsChannel::~TTlsChannel() = default;

// The socket work of a channel: receives into the session's input and sends whole
// buffers, each call within the deadline that arm applies.
namespace {

struct TChannelIo {
  TTlsChannel& ch;
  TSchannelSession& s;
  TSocket socket;

  // Receives more records; the count, 0 at the peer's close, -1 with the socket's error.
  int Receive(bool (TTlsChannel::*arm)()) {
    if (!(ch.*arm)()) {
      SockSetLastError(kTimedOut);
      return -1;
    }
    if (s.in.size() - s.inLen < 1024) {
      if (s.in.size() >= kMaxInput) {
        SockSetLastError(kConnAborted);
        return -1;
      }
      s.in.resize(std::min(kMaxInput, std::max(kInputChunk, s.in.size() * 2)));
    }
    return GWinsockIntf().recv(socket, s.in.data() + s.inLen,
                               static_cast<int>(s.in.size() - s.inLen), 0);
  }

  bool SendAll(const char* data, size_t len, bool (TTlsChannel::*arm)()) {
    while (len > 0) {
      if (!(ch.*arm)()) {
        SockSetLastError(kTimedOut);
        return false;
      }
      int n =
          GWinsockIntf().send(socket, data, static_cast<int>(std::min<size_t>(len, INT_MAX)), 0);
      if (n <= 0) return false;
      data += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }

  // Keeps the unprocessed tail of the input (the last extra buffer) at its front.
  void KeepExtra(const SecBuffer* bufs, int count) {
    size_t extra = 0;
    for (int i = 0; i < count; ++i)
      if (bufs[i].BufferType == SECBUFFER_EXTRA) extra = bufs[i].cbBuffer;
    if (extra > s.inLen) extra = 0;
    std::memmove(s.in.data(), s.in.data() + s.inLen - extra, extra);
    s.inLen = extra;
  }
};

}  // namespace

void TTlsChannel::Accept(uint32_t timeoutSeconds) {
  deadlineSet_ = timeoutSeconds != 0;
  armedMs_ = UINT32_MAX;
  if (deadlineSet_)
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  TSchannelSession& s = *session_;
  TChannelIo io{*this, s, socket_};
  const ULONG request = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                        ASC_REQ_EXTENDED_ERROR | ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;
  CredHandle cred = context_->Native().handle;
  // Records already received (after the handshake: the message that asked for this call)
  // are taken first.
  bool needInput = s.inLen == 0;
  auto fail = [&](auto&& error) {
    deadlineSet_ = false;
    failed_ = true;
    throw error;
  };
  for (;;) {
    if (needInput) {
      int n = io.Receive(&TTlsChannel::ArmDeadline);
      if (n == 0) fail(EConduitTlsError("the client ended the connection during the handshake"));
      if (n < 0) {
        int code = SockLastError();
        if (code == kConnAborted && s.in.size() >= kMaxInput)
          fail(EConduitTlsError("handshake message too large"));
        fail(EConduitSocketError(GWinsockIntf().TranslateErrorMsg(code), code));
      }
      s.inLen += static_cast<size_t>(n);
    }
    SecBuffer inBufs[2] = {{static_cast<ULONG>(s.inLen), SECBUFFER_TOKEN, s.in.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBufs};
    SecBuffer outBufs[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 2, outBufs};
    ULONG attrs = 0;
    TimeStamp expiry;
    SECURITY_STATUS ss =
        Sspi().AcceptSecurityContext(&cred, s.haveCtx ? &s.ctx : nullptr, &inDesc, request, 0,
                                     &s.ctx, &outDesc, &attrs, &expiry);
    if (ss == SEC_E_INCOMPLETE_MESSAGE) {
      needInput = true;
      continue;
    }
    if (!s.haveCtx && (ss == SEC_E_OK || ss == SEC_I_CONTINUE_NEEDED || outBufs[0].cbBuffer > 0))
      s.haveCtx = true;
    // The token goes out on failure too: it carries the alert that tells the client why
    // (the alert buffer only describes it).
    bool sent = true;
    if (outBufs[0].pvBuffer != nullptr && outBufs[0].cbBuffer > 0)
      sent = io.SendAll(static_cast<const char*>(outBufs[0].pvBuffer), outBufs[0].cbBuffer,
                        &TTlsChannel::ArmDeadline);
    for (SecBuffer& b : outBufs)
      if (b.pvBuffer != nullptr) Sspi().FreeContextBuffer(b.pvBuffer);
    if (ss != SEC_E_OK && ss != SEC_I_CONTINUE_NEEDED) fail(EConduitTlsError(StatusText(ss)));
    if (!sent) {
      int code = SockLastError();
      fail(EConduitSocketError(GWinsockIntf().TranslateErrorMsg(code), code));
    }
    io.KeepExtra(inBufs, 2);
    if (ss == SEC_E_OK) break;
    needInput = s.inLen == 0;
  }
  deadlineSet_ = false;
  SECURITY_STATUS ss = Sspi().QueryContextAttributesW(&s.ctx, SECPKG_ATTR_STREAM_SIZES, &s.sizes);
  if (ss != SEC_E_OK || s.sizes.cbMaximumMessage == 0) {
    failed_ = true;
    throw EConduitTlsError(StatusText(ss));
  }
}

int TTlsChannel::Read(char* buf, int len, uint32_t waitSeconds) {
  TSchannelSession& s = *session_;
  auto deliver = [&]() {
    size_t n = std::min<size_t>(static_cast<size_t>(len), s.plain.size() - s.plainPos);
    std::memcpy(buf, s.plain.data() + s.plainPos, n);
    s.plainPos += n;
    if (s.plainPos == s.plain.size()) {
      s.plain.clear();
      s.plainPos = 0;
    }
    return static_cast<int>(n);
  };
  if (len <= 0) return 0;
  if (s.plainPos < s.plain.size()) return deliver();
  if (failed_) {
    SockSetLastError(kConnAborted);
    return -1;
  }
  if (s.peerClosed) return 0;
  TChannelIo io{*this, s, socket_};
  bool first = true;
  for (;;) {
    if (s.inLen > 0) {
      SecBuffer bufs[4] = {{static_cast<ULONG>(s.inLen), SECBUFFER_DATA, s.in.data()},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
      SECURITY_STATUS ss = Sspi().DecryptMessage(&s.ctx, &desc, 0, nullptr);
      if (ss == SEC_E_OK || ss == SEC_I_RENEGOTIATE || ss == SEC_I_CONTEXT_EXPIRED) {
        for (const SecBuffer& b : bufs)
          if (b.BufferType == SECBUFFER_DATA && b.pvBuffer != nullptr)
            s.plain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        io.KeepExtra(bufs, 4);
        if (ss == SEC_I_CONTEXT_EXPIRED) s.peerClosed = true;
        if (ss == SEC_I_RENEGOTIATE) {
          // A message after the handshake (a TLS 1.3 key update or ticket): it goes back
          // through the handshake call, within the receive time-out.
          try {
            Accept(waitSeconds);
          } catch (const EConduitException&) {
            failed_ = true;
            SockSetLastError(kConnAborted);
            return -1;
          }
        }
        if (!s.plain.empty()) return deliver();
        if (s.peerClosed) return 0;
        continue;
      }
      if (ss != SEC_E_INCOMPLETE_MESSAGE) {
        failed_ = true;
        SockSetLastError(kConnAborted);
        return -1;
      }
    } else if (first) {
      // Wait for the socket first: an idle connection holds no input buffer.
      std::vector<char>().swap(s.in);
      TFdSet readable;
      readable.fd_count = 1;
      readable.fd_array[0] = socket_;
      TTimeVal limit;
      limit.tv_sec = static_cast<int32_t>(std::min<uint32_t>(waitSeconds, INT32_MAX / 1000));
      int rc = GWinsockIntf().select(0, &readable, nullptr, nullptr,
                                     waitSeconds != 0 ? &limit : nullptr);
      if (rc == 0) {
        SockSetLastError(kTimedOut);
        return -1;
      }
      if (rc < 0) return -1;
    }
    first = false;
    int n = io.Receive(&TTlsChannel::ArmDeadline);
    if (n == 0) return 0;  // the peer closed without the closing alert
    if (n < 0) {
      int code = SockLastError();
      if (code != kTimedOut) failed_ = true;
      return -1;
    }
    s.inLen += static_cast<size_t>(n);
  }
}

int TTlsChannel::Write(const char* buf, int len) {
  if (failed_) {
    SockSetLastError(kConnAborted);
    return -1;
  }
  if (len <= 0) return 0;
  TSchannelSession& s = *session_;
  const SecPkgContext_StreamSizes& z = s.sizes;
  const size_t chunk = std::min<size_t>(static_cast<size_t>(len), z.cbMaximumMessage);
  std::vector<char> record(z.cbHeader + chunk + z.cbTrailer);
  std::memcpy(record.data() + z.cbHeader, buf, chunk);
  SecBuffer bufs[4] = {{z.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                       {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + z.cbHeader},
                       {z.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + z.cbHeader + chunk},
                       {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
  SECURITY_STATUS ss = Sspi().EncryptMessage(&s.ctx, 0, &desc, 0);
  if (ss != SEC_E_OK) {
    failed_ = true;
    SockSetLastError(kConnAborted);
    return -1;
  }
  TChannelIo io{*this, s, socket_};
  // A record sent in part cannot be taken back: any failure ends the channel.
  if (!io.SendAll(record.data(), bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer,
                  &TTlsChannel::ArmDeadline)) {
    failed_ = true;
    int code = SockLastError();
    SockSetLastError(code != 0 ? code : kConnAborted);
    return -1;
  }
  return static_cast<int>(chunk);
}

void TTlsChannel::Close() {
  TSchannelSession& s = *session_;
  if (failed_ || !s.haveCtx) return;
  failed_ = true;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer in{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
  if (Sspi().ApplyControlToken(&s.ctx, &inDesc) != SEC_E_OK) return;
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  CredHandle cred = context_->Native().handle;
  ULONG attrs = 0;
  TimeStamp expiry;
  Sspi().AcceptSecurityContext(&cred, &s.ctx, nullptr,
                               ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                                   ASC_REQ_CONFIDENTIALITY | ASC_REQ_EXTENDED_ERROR |
                                   ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM,
                               0, &s.ctx, &outDesc, &attrs, &expiry);
  if (out.pvBuffer != nullptr) {
    if (out.cbBuffer > 0) {
      TChannelIo io{*this, s, socket_};
      io.SendAll(static_cast<const char*>(out.pvBuffer), out.cbBuffer, &TTlsChannel::ArmDeadline);
    }
    Sspi().FreeContextBuffer(out.pvBuffer);
  }
}

std::string TTlsChannel::Version() const {
  SecPkgContext_ConnectionInfo info{};
  if (!session_->haveCtx || Sspi().QueryContextAttributesW(
                                &session_->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
    return "";
  if (info.dwProtocol & SP_PROT_TLS1_3) return "TLSv1.3";
  if (info.dwProtocol & SP_PROT_TLS1_2) return "TLSv1.2";
  if (info.dwProtocol & SP_PROT_TLS1_1) return "TLSv1.1";
  if (info.dwProtocol & SP_PROT_TLS1_0) return "TLSv1";
  return "unknown";
}

std::string TTlsChannel::Cipher() const {
  SecPkgContext_CipherInfo info{};
  if (!session_->haveCtx ||
      Sspi().QueryContextAttributesW(&session_->ctx, SECPKG_ATTR_CIPHER_INFO, &info) != SEC_E_OK)
    return "";
  return Narrow(info.szCipherSuite);
}

int TTlsChannel::CipherBits() const {
  SecPkgContext_ConnectionInfo info{};
  if (!session_->haveCtx || Sspi().QueryContextAttributesW(
                                &session_->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
    return 0;
  return static_cast<int>(info.dwCipherStrength);
}

}  // namespace kestran
