#pragma once
// RSA keys in their DER forms (PKCS#8 PrivateKeyInfo, PKCS#1 RSAPrivateKey and
// RSAPublicKey) read into their numbers, and an RSA private key written as the key blob
// of the Windows CryptoAPI ("PRIVATEKEYBLOB"), for systems whose own decoders lack them.

#include <string>

namespace kestran {

// The numbers of an RSA key, each big-endian without leading zero bytes. A public key
// has only n and e.
struct TRsaKey {
  std::string n, e, d, p, q, dp, dq, qinv;
};

enum class TKeyDer { Rsa, OtherAlgorithm, Invalid };

// A PKCS#8 PrivateKeyInfo: Rsa with the key, OtherAlgorithm for a key that is not RSA
// (an EC key, say), Invalid for anything that is not PrivateKeyInfo.
TKeyDer ReadPkcs8PrivateKey(const std::string& der, TRsaKey& key);
// A PKCS#1 RSAPrivateKey (two primes); false for anything else.
bool ReadRsaPrivateKey(const std::string& der, TRsaKey& key);
// A PKCS#1 RSAPublicKey (the content of a certificate's public key bit string).
bool ReadRsaPublicKey(const std::string& der, TRsaKey& key);

// The CryptoAPI blob of the private key for an exchange key (CALG_RSA_KEYX); empty when
// the key's sizes do not fit the blob (a modulus of a bit length not divisible by 16,
// primes of unequal length, an exponent over 32 bits).
std::string CapiPrivateKeyBlob(const TRsaKey& key);

}  // namespace kestran
