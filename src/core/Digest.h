#pragma once
// Digests and ciphers.
#include <QByteArray>
#include <QString>

namespace Digest {
QString md5Hex(const QByteArray &data);
QByteArray md5(const QByteArray &data);
QByteArray sha1(const QByteArray &data);
QByteArray hmacSha1(const QByteArray &key, const QByteArray &data);
} // namespace Digest

namespace Cipher {
// AES-256 in CBC mode with PKCS#7 padding. A key of 32 bytes and an IV of 16 bytes are required;
// an empty result with ok=false on a wrong key size or (decrypting) bad padding.
QByteArray aes256CbcEncrypt(const QByteArray &plain, const QByteArray &key, const QByteArray &iv, bool *ok = nullptr);
QByteArray aes256CbcDecrypt(const QByteArray &cipher, const QByteArray &key, const QByteArray &iv, bool *ok = nullptr);
} // namespace Cipher
