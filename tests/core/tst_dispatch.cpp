#include "CoreTestHome.h"
#include "core/Digest.h"
#include "core/Dispatch.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <atomic>

class TestDispatch : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { startInThrowAwayHome(); }

    void mainSyncRunsInlineOnTheMainThread()
    {
        QVERIFY(isMainThread());
        bool ran = false;
        dispatch_main_sync([&] { ran = true; });
        QVERIFY(ran); // inline: no event loop turn needed

        // From a background thread it runs on the main thread and the caller waits for it.
        std::atomic<bool> onMain{false}, finished{false};
        int value = 0;
        dispatch_default_queue_async([&] {
            dispatch_main_sync([&] {
                onMain = isMainThread();
                value = 42;
            });
            finished = value == 42; // the write is visible once dispatch_main_sync returns
        });
        QTRY_VERIFY(finished.load());
        QVERIFY(onMain.load());
    }

    void mainAsyncRunsAtALaterTurn()
    {
        bool ran = false;
        dispatch_main_async([&] { ran = true; });
        QVERIFY(!ran);
        QTRY_VERIFY(ran);

        std::atomic<bool> onMain{false};
        std::atomic<int> order{0};
        QThread *t = QThread::create([&] { dispatch_main_async([&] { onMain = isMainThread(); order = 1; }); });
        t->start();
        t->wait();
        delete t;
        QTRY_COMPARE(order.load(), 1);
        QVERIFY(onMain.load());
    }

    void delayReturnsAtOnceAndRunsOnMainAfterTheInterval()
    {
        QElapsedTimer clock;
        clock.start();
        std::atomic<bool> ran{false}, onMain{false};
        qint64 ranAt = 0;
        dispatch_main_delay([&] {
            onMain = isMainThread();
            ranAt = clock.elapsed();
            ran = true;
        }, 0.3);
        QVERIFY(!ran);
        QTRY_VERIFY(ran.load());
        QVERIFY(onMain.load());
        QVERIFY2(ranAt >= 290, qPrintable(QString::number(ranAt)));

        ran = false;
        dispatch_main_delay([&] { ran = true; }, 0);
        QVERIFY(!ran);
        QTRY_VERIFY(ran.load());
    }

    void backgroundQueuesRunOffTheMainThread()
    {
        std::atomic<int> offMain{0};
        for (int i = 0; i < 8; ++i) {
            dispatch_default_queue_async([&] { offMain += !isMainThread(); });
            dispatch_highpriority_queue_async([&] { offMain += !isMainThread(); });
        }
        QTRY_COMPARE(offMain.load(), 16);
    }

    // NIST SP 800-38A, F.2.5 CBC-AES256.Encrypt, followed by the PKCS#7 block that padding adds.
    void aesMatchesTheKnownVector()
    {
        const QByteArray key = QByteArray::fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
        const QByteArray iv = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
        const QByteArray plain = QByteArray::fromHex(
            "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
        const QByteArray expected = QByteArray::fromHex(
            "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
            "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
        bool ok = false;
        const QByteArray cipher = Cipher::aes256CbcEncrypt(plain, key, iv, &ok);
        QVERIFY(ok);
        QCOMPARE(cipher.size(), 80);
        QCOMPARE(cipher.left(64).toHex(), expected.toHex());
        QCOMPARE(Cipher::aes256CbcDecrypt(cipher, key, iv, &ok), plain);
        QVERIFY(ok);

        // Short text round-trips through the padding; wrong sizes and a wrong key fail cleanly.
        const QByteArray secret("token-secret");
        QCOMPARE(Cipher::aes256CbcDecrypt(Cipher::aes256CbcEncrypt(secret, key, iv), key, iv), secret);
        QVERIFY(Cipher::aes256CbcEncrypt(secret, key.left(16), iv, &ok).isEmpty());
        QVERIFY(!ok);
        QByteArray otherKey = key;
        otherKey[0] = char(otherKey[0] ^ 1);
        const QByteArray wrong = Cipher::aes256CbcDecrypt(Cipher::aes256CbcEncrypt(secret, key, iv), otherKey, iv, &ok);
        QVERIFY(!ok || wrong != secret);
    }

    void digestsMatchKnownValues()
    {
        QCOMPARE(Digest::md5Hex("abc"), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));
        QCOMPARE(Digest::sha1("abc").toHex(), QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
        // RFC 2202 test case 2.
        QCOMPARE(Digest::hmacSha1("Jefe", "what do ya want for nothing?").toHex(),
                 QByteArray("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
    }
};

QTEST_GUILESS_MAIN(TestDispatch)
#include "tst_dispatch.moc"
