// Which bytes a key press sends: characters, the control keys, Ctrl with a letter, and the
// keys that are left to the text box. (The characters' bytes and pasted text: core_test.)
#include "keys.h"

#include <QTest>

using zantic::keyBytes;

class KeysTest : public QObject {
    Q_OBJECT
private slots:
    void bytes_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("sent");
        const int none = Qt::NoModifier, ctrl = Qt::ControlModifier, shift = Qt::ShiftModifier;
        QTest::newRow("a") << int(Qt::Key_A) << none << "a" << QByteArray("a");
        QTest::newRow("A") << int(Qt::Key_A) << shift << "A" << QByteArray("A");
        QTest::newRow("e acute") << int(Qt::Key_Eacute) << none << QString(QChar(0xE9)) << QByteArray("\xE9");
        QTest::newRow("y diaeresis") << int(Qt::Key_ydiaeresis) << none << QString(QChar(0xFF)) << QByteArray("\xFF");
        QTest::newRow("euro: nothing") << int(Qt::Key_unknown) << none << QString(QChar(0x20AC)) << QByteArray();
        QTest::newRow("emoji: nothing") << int(Qt::Key_unknown) << none << QString::fromUtf8("\xF0\x9F\x98\x80") << QByteArray();
        QTest::newRow("input method, two") << int(Qt::Key_unknown) << none << QString("ab") << QByteArray("ab");
        QTest::newRow("Enter") << int(Qt::Key_Return) << none << "\r" << QByteArray("\r");
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << "" << QByteArray("\r");
        QTest::newRow("Backspace") << int(Qt::Key_Backspace) << none << "" << QByteArray("\b");
        QTest::newRow("Tab") << int(Qt::Key_Tab) << none << "\t" << QByteArray("\t");
        QTest::newRow("Escape") << int(Qt::Key_Escape) << none << "" << QByteArray("\x1b");
        QTest::newRow("Ctrl+A, no text") << int(Qt::Key_A) << ctrl << "" << QByteArray("\x01");
        QTest::newRow("Ctrl+C, letter text") << int(Qt::Key_C) << ctrl << "c" << QByteArray("\x03");
        QTest::newRow("Ctrl+Z, control text") << int(Qt::Key_Z) << ctrl << "\x1a" << QByteArray("\x1a");
        QTest::newRow("Ctrl+Shift+Q") << int(Qt::Key_Q) << (ctrl | shift) << "" << QByteArray("\x11");
        QTest::newRow("space") << int(Qt::Key_Space) << none << " " << QByteArray(" ");
        QTest::newRow("Alt+S: nothing") << int(Qt::Key_S) << int(Qt::AltModifier) << "s" << QByteArray();
    }
    void bytes()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, text);
        QFETCH(QByteArray, sent);
        const auto got = keyBytes(key, Qt::KeyboardModifiers(modifiers), text);
        QVERIFY(got.has_value()); // a character key: always cancelled
        QCOMPARE(*got, sent);
    }

    void keysLeftToTheBox()
    {
        for (int key : {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up, Qt::Key_Down, Qt::Key_Home,
                        Qt::Key_End, Qt::Key_PageUp, Qt::Key_PageDown, Qt::Key_F1, Qt::Key_Shift,
                        Qt::Key_Control, Qt::Key_Insert})
            QVERIFY(!keyBytes(key, Qt::NoModifier, QString()).has_value());
        // Delete edits the box even where the platform gives it the text DEL.
        QVERIFY(!keyBytes(Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F))).has_value());
        // Ctrl with a key that is no letter and has no text: nothing to send.
        QVERIFY(!keyBytes(Qt::Key_Home, Qt::ControlModifier, QString()).has_value());
    }
};

QTEST_MAIN(KeysTest)
#include "tst_keys.moc"
