#include "transport/rsa_key_der.h"

#include <cstdint>

namespace kestran {
namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kOid = 0x06;
// 1.2.840.113549.1.1.1, rsaEncryption
const std::string kRsaOid("\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01", 9);

// A cursor over DER: one element at a time, its tag and content.
class TDer {
 public:
  explicit TDer(const std::string& data) : data_(&data), pos_(0), end_(data.size()) {}
  TDer(const std::string& data, size_t pos, size_t end) : data_(&data), pos_(pos), end_(end) {}

  bool AtEnd() const { return pos_ >= end_; }

  // The next element; false (and nothing moved) when it is not well formed.
  bool Next(uint8_t& tag, size_t& start, size_t& length) {
    size_t p = pos_;
    if (end_ - p < 2) return false;
    tag = static_cast<uint8_t>((*data_)[p++]);
    if ((tag & 0x1f) == 0x1f) return false;  // multi-byte tags do not occur here
    size_t len = static_cast<uint8_t>((*data_)[p++]);
    if (len & 0x80) {
      size_t count = len & 0x7f;
      if (count == 0 || count > 4 || end_ - p < count) return false;
      len = 0;
      for (size_t i = 0; i < count; ++i) len = (len << 8) | static_cast<uint8_t>((*data_)[p++]);
    }
    if (len > end_ - p) return false;
    start = p;
    length = len;
    pos_ = p + len;
    return true;
  }

  // The next element if it has the tag: a cursor over its content.
  bool Enter(uint8_t want, TDer& inner) {
    uint8_t tag;
    size_t start, length;
    size_t saved = pos_;
    if (!Next(tag, start, length) || tag != want) {
      pos_ = saved;
      return false;
    }
    inner = TDer(*data_, start, start + length);
    return true;
  }

  bool Bytes(uint8_t want, std::string& out) {
    TDer inner(*data_, 0, 0);
    if (!Enter(want, inner)) return false;
    out = data_->substr(inner.pos_, inner.end_ - inner.pos_);
    return true;
  }

  // A non-negative integer, big-endian without leading zeros.
  bool Unsigned(std::string& out) {
    if (!Bytes(kInteger, out) || out.empty()) return false;
    if (static_cast<uint8_t>(out[0]) & 0x80) return false;  // negative
    size_t zeros = 0;
    while (zeros + 1 < out.size() && out[zeros] == 0) ++zeros;
    out.erase(0, zeros);
    return true;
  }

 private:
  const std::string* data_;
  size_t pos_;
  size_t end_;
};

// The number little-endian in exactly size bytes; false when it does not fit.
bool PutLittleEndian(std::string& blob, const std::string& bigEndian, size_t size) {
  std::string v = bigEndian == std::string(1, '\0') ? std::string() : bigEndian;
  if (v.size() > size) return false;
  for (size_t i = 0; i < size; ++i) blob.push_back(i < v.size() ? v[v.size() - 1 - i] : '\0');
  return true;
}

void PutU32(std::string& blob, uint32_t v) {
  for (int i = 0; i < 4; ++i) blob.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

}  // namespace

bool ReadRsaPrivateKey(const std::string& der, TRsaKey& key) {
  TDer top(der);
  TDer seq(der, 0, 0);
  std::string version;
  if (!top.Enter(kSequence, seq) || !seq.Unsigned(version) || version != std::string(1, '\0'))
    return false;
  for (std::string* part : {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dp, &key.dq, &key.qinv})
    if (!seq.Unsigned(*part)) return false;
  return seq.AtEnd() && top.AtEnd();
}

bool ReadRsaPublicKey(const std::string& der, TRsaKey& key) {
  TDer top(der);
  TDer seq(der, 0, 0);
  key = TRsaKey();
  return top.Enter(kSequence, seq) && seq.Unsigned(key.n) && seq.Unsigned(key.e) && seq.AtEnd() &&
         top.AtEnd();
}

TKeyDer ReadPkcs8PrivateKey(const std::string& der, TRsaKey& key) {
  TDer top(der);
  TDer seq(der, 0, 0);
  TDer algorithm(der, 0, 0);
  std::string version, oid, inner;
  if (!top.Enter(kSequence, seq) || !seq.Unsigned(version) || !seq.Enter(kSequence, algorithm) ||
      !algorithm.Bytes(kOid, oid) || !seq.Bytes(kOctetString, inner) || !top.AtEnd())
    return TKeyDer::Invalid;
  if (oid != kRsaOid) return TKeyDer::OtherAlgorithm;
  return ReadRsaPrivateKey(inner, key) ? TKeyDer::Rsa : TKeyDer::Invalid;
}

std::string CapiPrivateKeyBlob(const TRsaKey& key) {
  const size_t modulus = key.n.size();
  if (modulus == 0 || modulus % 2 != 0 || key.e.size() > 4) return std::string();
  const size_t half = modulus / 2;
  std::string blob;
  // BLOBHEADER: PRIVATEKEYBLOB, version 2, CALG_RSA_KEYX; RSAPUBKEY: "RSA2", bits, e.
  blob += std::string("\x07\x02\x00\x00\x00\xa4\x00\x00", 8);
  blob += "RSA2";
  PutU32(blob, static_cast<uint32_t>(modulus * 8));
  uint32_t e = 0;
  for (char c : key.e) e = (e << 8) | static_cast<uint8_t>(c);
  PutU32(blob, e);
  if (!PutLittleEndian(blob, key.n, modulus) || !PutLittleEndian(blob, key.p, half) ||
      !PutLittleEndian(blob, key.q, half) || !PutLittleEndian(blob, key.dp, half) ||
      !PutLittleEndian(blob, key.dq, half) || !PutLittleEndian(blob, key.qinv, half) ||
      !PutLittleEndian(blob, key.d, modulus))
    return std::string();
  return blob;
}

}  // namespace kestran
