#include "Digest.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <openssl/evp.h>
#include <memory>

QByteArray Digest::md5(const QByteArray &data) { return QCryptographicHash::hash(data, QCryptographicHash::Md5); }
QString Digest::md5Hex(const QByteArray &data) { return QString::fromLatin1(md5(data).toHex()); }
QByteArray Digest::sha1(const QByteArray &data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha1); }

QByteArray Digest::hmacSha1(const QByteArray &key, const QByteArray &data)
{
    return QMessageAuthenticationCode::hash(data, key, QCryptographicHash::Sha1);
}

namespace {
QByteArray aes(bool encrypt, const QByteArray &in, const QByteArray &key, const QByteArray &iv, bool *ok)
{
    if (ok)
        *ok = false;
    if (key.size() != 32 || iv.size() != 16)
        return {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx)
        return {};
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    const auto *v = reinterpret_cast<const unsigned char *>(iv.constData());
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k, v, encrypt ? 1 : 0) != 1)
        return {};
    QByteArray out(in.size() + 32, Qt::Uninitialized);
    int n1 = 0, n2 = 0;
    if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &n1,
                         reinterpret_cast<const unsigned char *>(in.constData()), int(in.size())) != 1)
        return {};
    if (EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(out.data()) + n1, &n2) != 1)
        return {};
    out.resize(n1 + n2);
    if (ok)
        *ok = true;
    return out;
}
} // namespace

QByteArray Cipher::aes256CbcEncrypt(const QByteArray &plain, const QByteArray &key, const QByteArray &iv, bool *ok)
{
    return aes(true, plain, key, iv, ok);
}

QByteArray Cipher::aes256CbcDecrypt(const QByteArray &cipher, const QByteArray &key, const QByteArray &iv, bool *ok)
{
    return aes(false, cipher, key, iv, ok);
}
