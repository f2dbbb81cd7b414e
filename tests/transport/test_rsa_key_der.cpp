// RSA keys read from their DER forms for the Windows key store: both private forms give
// the same numbers, a certificate's public key matches its own key only, and no cut or
// damaged input is read past its end.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "support/child_process.h"
#include "support/test_cert.h"
#include "transport/rsa_key_der.h"

namespace kestran {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;
using test::RunCommand;

class RsaKeyDer : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kestran-der-" + std::to_string(std::random_device()()));
    fs::create_directories(dir_);
    std::string out;
    // One RSA key in three forms, another key's public half, an EC key.
    if (RunCommand("cd '" + dir_.string() +
                       "' && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 "
                       "-out k.pem && "
                       "openssl pkcs8 -topk8 -nocrypt -in k.pem -outform DER -out p8.der && "
                       "openssl rsa -in k.pem -traditional -outform DER -out p1.der && "
                       "openssl rsa -in k.pem -RSAPublicKey_out -outform DER -out pub.der && "
                       "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out o.pem && "
                       "openssl rsa -in o.pem -RSAPublicKey_out -outform DER -out opub.der && "
                       "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 "
                       "-out ec.pem && "
                       "openssl pkcs8 -topk8 -nocrypt -in ec.pem -outform DER -out ec.der",
                   out) != 0)
      GTEST_SKIP() << "the openssl program cannot make keys: " << out;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Der(const std::string& name) { return ReadFileText((dir_ / name).string()); }

  fs::path dir_;
};

TEST_F(RsaKeyDer, FormsAgreeAndPublicKeysMatchTheirOwnKeyOnly) {
  TRsaKey p8, p1, pub, other, ec;
  ASSERT_EQ(ReadPkcs8PrivateKey(Der("p8.der"), p8), TKeyDer::Rsa);
  ASSERT_TRUE(ReadRsaPrivateKey(Der("p1.der"), p1));
  for (auto part : {&TRsaKey::n, &TRsaKey::e, &TRsaKey::d, &TRsaKey::p, &TRsaKey::q, &TRsaKey::dp,
                    &TRsaKey::dq, &TRsaKey::qinv})
    EXPECT_EQ(p8.*part, p1.*part);
  EXPECT_EQ(p8.n.size(), 128u);  // no leading zero byte kept
  EXPECT_EQ(p8.e, std::string("\x01\x00\x01", 3));
  ASSERT_TRUE(ReadRsaPublicKey(Der("pub.der"), pub));
  EXPECT_TRUE(pub.n == p8.n && pub.e == p8.e);
  ASSERT_TRUE(ReadRsaPublicKey(Der("opub.der"), other));
  EXPECT_NE(other.n, p8.n);

  EXPECT_EQ(ReadPkcs8PrivateKey(Der("ec.der"), ec), TKeyDer::OtherAlgorithm);
  // A PKCS#1 key is not PrivateKeyInfo, nor the other way round.
  EXPECT_EQ(ReadPkcs8PrivateKey(Der("p1.der"), ec), TKeyDer::Invalid);
  EXPECT_FALSE(ReadRsaPrivateKey(Der("p8.der"), ec));
}

TEST_F(RsaKeyDer, CutOrDamagedInputIsRefused) {
  const std::string p8 = Der("p8.der");
  const std::string p1 = Der("p1.der");
  TRsaKey k;
  for (size_t len = 0; len < p8.size(); ++len)
    EXPECT_NE(ReadPkcs8PrivateKey(p8.substr(0, len), k), TKeyDer::Rsa) << len;
  for (size_t len = 0; len < p1.size(); ++len)
    EXPECT_FALSE(ReadRsaPrivateKey(p1.substr(0, len), k));
  // Lengths that point past the end, five length bytes, trailing bytes inside the key.
  std::string bad = p1;
  bad[1] = static_cast<char>(0x84);
  EXPECT_FALSE(ReadRsaPrivateKey(bad, k));
  EXPECT_FALSE(ReadRsaPrivateKey(std::string("\x30\x85\x00\x00\x00\x00\x01", 7), k));
  ASSERT_TRUE(ReadRsaPublicKey(std::string("\x30\x06\x02\x01\x05\x02\x01\x03", 8), k));
  EXPECT_FALSE(ReadRsaPublicKey(std::string("\x30\x06\x02\x01\x05\x02\x01\x03", 8) + "x", k));
  EXPECT_FALSE(ReadRsaPublicKey(std::string("\x30\x07\x02\x01\x05\x02\x01\x03\x00", 9), k));
  // A negative number is no key part.
  EXPECT_FALSE(ReadRsaPublicKey(std::string("\x30\x06\x02\x01\x85\x02\x01\x03", 8), k));
}

TEST_F(RsaKeyDer, PrivateKeyBlobLayout) {
  TRsaKey k;
  ASSERT_TRUE(ReadRsaPrivateKey(Der("p1.der"), k));
  const std::string blob = CapiPrivateKeyBlob(k);
  const size_t m = k.n.size();
  ASSERT_EQ(blob.size(), 8 + 12 + m + 5 * (m / 2) + m);
  EXPECT_EQ(blob.substr(0, 12), std::string("\x07\x02\x00\x00\x00\xa4\x00\x00RSA2", 12));
  EXPECT_EQ(blob.substr(12, 8), std::string("\x00\x04\x00\x00\x01\x00\x01\x00", 8));  // 1024, 65537
  // Little-endian: the modulus reversed; the private exponent last, padded to full size.
  EXPECT_EQ(blob.substr(20, m), std::string(k.n.rbegin(), k.n.rend()));
  std::string d(k.d.rbegin(), k.d.rend());
  d.resize(m, '\0');
  EXPECT_EQ(blob.substr(blob.size() - m), d);
  // Sizes the blob cannot carry.
  TRsaKey odd = k;
  odd.n.pop_back();
  EXPECT_EQ(CapiPrivateKeyBlob(odd), "");
  TRsaKey bigPrime = k;
  bigPrime.p = std::string(m / 2 + 1, '\x01');
  EXPECT_EQ(CapiPrivateKeyBlob(bigPrime), "");
}

}  // namespace
}  // namespace kestran
