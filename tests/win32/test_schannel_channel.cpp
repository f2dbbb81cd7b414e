// The Schannel channel's own work (receiving in pieces, records split or joined, the
// handshake's deadline, closing) over a loopback connection, with the security functions
// replaced by a transparent stand-in: Wine's Schannel cannot be the server side of a
// handshake. The stand-in's handshake is the client's lines "HELLO" and "FINISHED" (the
// server answers the first with "WELCOME"); a record is a two-byte length and the data with
// every byte xor 0x20; a record of length 0 is the closing alert; a first byte 0xEE fails
// the integrity check.
#include "transport/tls_layer_schannel.h"
// (the Windows headers first)
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "pem_samples.h"
#include "platform/sockets.h"
#include "transport/tls_layer.h"
#include "transport/winsock_intf.h"

namespace kestran {
namespace {

constexpr ULONG kMaxMessage = 10;  // small, so that writes are split into records

struct TFake {
  int stage = 0;  // lines of the handshake seen
  bool shutdown = false;
} gFake;

void* Copy(const std::string& s) {
  void* p = ::LocalAlloc(LMEM_FIXED, s.size());
  std::memcpy(p, s.data(), s.size());
  return p;
}

SECURITY_STATUS SEC_ENTRY FakeAccept(PCredHandle, PCtxtHandle, PSecBufferDesc in, ULONG, ULONG,
                                     PCtxtHandle newCtx, PSecBufferDesc out, PULONG attrs,
                                     PTimeStamp) {
  *attrs = 0;
  if (newCtx != nullptr) newCtx->dwLower = newCtx->dwUpper = 1;
  if (in == nullptr) {  // after the shutdown request: the closing alert
    if (!gFake.shutdown) return SEC_E_INVALID_TOKEN;
    out->pBuffers[0].pvBuffer = Copy(std::string(2, '\0'));
    out->pBuffers[0].cbBuffer = 2;
    return SEC_E_OK;
  }
  SecBuffer& token = in->pBuffers[0];
  std::string data(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
  size_t eol = data.find('\n');
  if (eol == std::string::npos) return SEC_E_INCOMPLETE_MESSAGE;
  std::string line = data.substr(0, eol);
  size_t extra = data.size() - eol - 1;
  if (extra > 0) {
    in->pBuffers[1].BufferType = SECBUFFER_EXTRA;
    in->pBuffers[1].cbBuffer = static_cast<ULONG>(extra);
  }
  const char* want = gFake.stage == 0 ? "HELLO" : "FINISHED";
  if (line != want) {
    out->pBuffers[0].pvBuffer = Copy("ALERT\n");
    out->pBuffers[0].cbBuffer = 6;
    return SEC_E_ILLEGAL_MESSAGE;
  }
  if (gFake.stage++ == 0) {
    out->pBuffers[0].pvBuffer = Copy("WELCOME\n");
    out->pBuffers[0].cbBuffer = 8;
    return SEC_I_CONTINUE_NEEDED;
  }
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeDecrypt(PCtxtHandle, PSecBufferDesc desc, ULONG, PULONG) {
  SecBuffer* b = desc->pBuffers;
  char* p = static_cast<char*>(b[0].pvBuffer);
  size_t have = b[0].cbBuffer;
  if (have >= 1 && static_cast<unsigned char>(p[0]) == 0xEE) return SEC_E_DECRYPT_FAILURE;
  if (have < 2) return SEC_E_INCOMPLETE_MESSAGE;
  size_t len = (static_cast<unsigned char>(p[0]) << 8) | static_cast<unsigned char>(p[1]);
  if (have < 2 + len) return SEC_E_INCOMPLETE_MESSAGE;
  for (size_t i = 0; i < len; ++i) p[2 + i] ^= 0x20;
  b[0] = {2, SECBUFFER_STREAM_HEADER, p};
  b[1] = {static_cast<ULONG>(len), SECBUFFER_DATA, p + 2};
  b[2] = {0, SECBUFFER_STREAM_TRAILER, p + 2 + len};
  if (have > 2 + len) b[3] = {static_cast<ULONG>(have - 2 - len), SECBUFFER_EXTRA, p + 2 + len};
  return len == 0 ? SEC_I_CONTEXT_EXPIRED : SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeEncrypt(PCtxtHandle, ULONG, PSecBufferDesc desc, ULONG) {
  SecBuffer* b = desc->pBuffers;
  if (b[1].cbBuffer > kMaxMessage) return SEC_E_BUFFER_TOO_SMALL;
  char* h = static_cast<char*>(b[0].pvBuffer);
  h[0] = static_cast<char>(b[1].cbBuffer >> 8);
  h[1] = static_cast<char>(b[1].cbBuffer & 0xff);
  char* d = static_cast<char*>(b[1].pvBuffer);
  for (ULONG i = 0; i < b[1].cbBuffer; ++i) d[i] ^= 0x20;
  b[2].cbBuffer = 0;
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeQuery(PCtxtHandle, ULONG attribute, void* out) {
  if (attribute == SECPKG_ATTR_STREAM_SIZES) {
    auto* z = static_cast<SecPkgContext_StreamSizes*>(out);
    *z = {2, 0, kMaxMessage, 4, 1};
  } else if (attribute == SECPKG_ATTR_CONNECTION_INFO) {
    auto* c = static_cast<SecPkgContext_ConnectionInfo*>(out);
    c->dwProtocol = SP_PROT_TLS1_3_SERVER;
    c->dwCipherStrength = 256;
  } else if (attribute == SECPKG_ATTR_CIPHER_INFO) {
    auto* c = static_cast<SecPkgContext_CipherInfo*>(out);
    std::wcscpy(c->szCipherSuite, L"TLS_FAKE_WITH_XOR");
  } else {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeFree(void* p) {
  ::LocalFree(p);
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeDelete(PCtxtHandle) {
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeControl(PCtxtHandle, PSecBufferDesc desc) {
  gFake.shutdown = *static_cast<DWORD*>(desc->pBuffers[0].pvBuffer) == SCHANNEL_SHUTDOWN;
  return SEC_E_OK;
}

std::string Record(const std::string& text) {
  std::string r;
  r.push_back(static_cast<char>(text.size() >> 8));
  r.push_back(static_cast<char>(text.size() & 0xff));
  for (char c : text) r.push_back(static_cast<char>(c ^ 0x20));
  return r;
}

class SchannelChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    table_.AcceptSecurityContext = FakeAccept;
    table_.DecryptMessage = FakeDecrypt;
    table_.EncryptMessage = FakeEncrypt;
    table_.QueryContextAttributesW = FakeQuery;
    table_.FreeContextBuffer = FakeFree;
    table_.DeleteSecurityContext = FakeDelete;
    table_.ApplyControlToken = FakeControl;
    SetSspiForTest(&table_);
    gFake = TFake();
    context_ = TTlsServerContext::FromPem("'a'", test::kCertA, "'a'", test::kKeyA);

    TSocket l = SockSocket(kAfInet, kSockStream, 0);
    TSockAddrIn a;
    a.sin_addr = SockInetAddr("127.0.0.1");
    ASSERT_EQ(SockBind(l, &a, sizeof a), 0);
    ASSERT_EQ(SockListen(l, 1), 0);
    int len = sizeof a;
    SockGetSockName(l, &a, &len);
    client_ = SockSocket(kAfInet, kSockStream, 0);
    ASSERT_EQ(SockConnect(client_, &a, sizeof a), 0);
    server_ = SockAccept(l, nullptr, nullptr);
    ASSERT_NE(server_, kInvalidSocket);
    SockClose(l);
    uint32_t ms = 5000;
    SockSetOpt(client_, kSolSocket, kSoRcvTimeo, reinterpret_cast<const char*>(&ms), sizeof ms);
  }

  void TearDown() override {
    SetSspiForTest(nullptr);
    SockClose(client_);
    SockClose(server_);
  }

  void Send(const std::string& s) {
    ASSERT_EQ(SockSend(client_, s.data(), static_cast<int>(s.size()), 0),
              static_cast<int>(s.size()));
  }

  // What the client receives within the time-out, up to want bytes.
  std::string Receive(size_t want) {
    std::string got;
    char buf[256];
    while (got.size() < want) {
      int n = SockRecv(client_, buf, static_cast<int>(std::min(sizeof buf, want - got.size())), 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

  std::string ReadAll(TTlsChannel& ch, size_t want, int chunk = 64) {
    std::string got;
    char buf[64];
    while (got.size() < want) {
      int n = ch.Read(buf, std::min<int>(chunk, sizeof buf), 2);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

  SecurityFunctionTableW table_{};
  std::shared_ptr<const TTlsServerContext> context_;
  TSocket client_ = kInvalidSocket;
  TSocket server_ = kInvalidSocket;
};

TEST_F(SchannelChannel, HandshakeRecordsAndClose) {
  TTlsChannel ch(context_, server_);
  // The handshake in pieces; the first records come with its last message.
  std::thread client([&] {
    Send("HEL");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Send("LO\n");
    EXPECT_EQ(Receive(8), "WELCOME\n");
    Send("FINISHED\n" + Record("EHLO a") + Record("\r\n") + Record("MAIL").substr(0, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Send(Record("MAIL").substr(3) + Record(" FROM:<>\r\n"));
  });
  ch.Accept(10);
  client.join();
  EXPECT_EQ(ch.Version(), "TLSv1.3");
  EXPECT_EQ(ch.Cipher(), "TLS_FAKE_WITH_XOR");
  EXPECT_EQ(ch.CipherBits(), 256);
  // Records joined and split, read in small steps.
  EXPECT_EQ(ReadAll(ch, 22, 3), "EHLO a\r\nMAIL FROM:<>\r\n");

  // A write larger than a record goes out as several.
  const std::string reply = "250-mail.example.test\r\n";
  size_t done = 0;
  while (done < reply.size()) {
    int n = ch.Write(reply.data() + done, static_cast<int>(reply.size() - done));
    ASSERT_GT(n, 0);
    EXPECT_LE(n, static_cast<int>(kMaxMessage));
    done += static_cast<size_t>(n);
  }
  EXPECT_EQ(Receive(reply.size() + 6),
            Record(reply.substr(0, 10)) + Record(reply.substr(10, 10)) + Record(reply.substr(20)));

  // An idle read runs out of time and leaves the channel usable.
  char buf[16];
  EXPECT_EQ(ch.Read(buf, sizeof buf, 1), -1);
  EXPECT_EQ(SockLastError(), 10060);
  Send(Record("QUIT\r\n") + std::string(2, '\0'));
  EXPECT_EQ(ReadAll(ch, 6), "QUIT\r\n");
  // The client's closing alert ends the stream; ours goes out on Close.
  EXPECT_EQ(ch.Read(buf, sizeof buf, 1), 0);
  ch.Close();
  EXPECT_EQ(Receive(2), std::string(2, '\0'));
}

TEST_F(SchannelChannel, HandshakeFailuresAndItsDeadline) {
  {
    TTlsChannel ch(context_, server_);
    std::thread client([&] { Send("HELLO\n"), Receive(8), Send("GARBAGE\n"); });
    try {
      ch.Accept(10);
      ADD_FAILURE() << "a bad handshake was accepted";
    } catch (const EConduitTlsError& e) {
      EXPECT_EQ(e.Message(), "the client's data are not a TLS handshake");
    }
    client.join();
    EXPECT_EQ(Receive(6), "ALERT\n");  // the client is told why
    char c;
    EXPECT_EQ(ch.Read(&c, 1, 1), -1);
    EXPECT_EQ(SockLastError(), 10053);
  }
  // A client that trickles its handshake byte by byte is held to the whole deadline.
  gFake = TFake();
  TTlsChannel ch(context_, server_);
  std::atomic<bool> stop{false};
  std::thread client([&] {
    while (!stop) {
      SockSend(client_, "H", 1, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  const auto t0 = std::chrono::steady_clock::now();
  try {
    ch.Accept(1);
    ADD_FAILURE() << "the handshake did not time out";
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10060);
  }
  const auto took = std::chrono::steady_clock::now() - t0;
  stop = true;
  client.join();
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST_F(SchannelChannel, ARecordThatFailsItsCheckEndsTheChannel) {
  TTlsChannel ch(context_, server_);
  std::thread client([&] { Send("HELLO\n"), Receive(8), Send("FINISHED\n"); });
  ch.Accept(10);
  client.join();
  Send(std::string("\xEE\x00\x01x", 4));
  char buf[8];
  EXPECT_EQ(ch.Read(buf, sizeof buf, 2), -1);
  EXPECT_EQ(SockLastError(), 10053);
  EXPECT_EQ(ch.Write("250 OK\r\n", 8), -1);
  EXPECT_EQ(SockLastError(), 10053);
}

}  // namespace
}  // namespace kestran
