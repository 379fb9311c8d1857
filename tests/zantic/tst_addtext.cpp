// Display of received text on a real text box: appends and the caret, backspaces, line
// ends, NUL bytes and the size limit, with the box's text read back as the terminal sees it.
#include "addtext.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

using zantic::addText;
using zantic::boxLength;
using zantic::boxText;

class AddTextTest : public QObject {
    Q_OBJECT

    // A box holding `text` (terminal form, line breaks as CR LF).
    static void fill(QPlainTextEdit &box, const QString &text)
    {
        box.clear();
        addText(box, text);
        QCOMPARE(boxText(box), text);
    }

private slots:
    void appendsAndLeavesTheCaretAtTheEnd()
    {
        QPlainTextEdit box;
        box.resize(200, 100);
        box.show();
        addText(box, "AB");
        QCOMPARE(boxText(box), QString("AB"));
        QCOMPARE(box.textCursor().position(), 2);
        QVERIFY(!box.textCursor().hasSelection());

        // The caret goes back to the end even where the user put it elsewhere.
        QTextCursor c = box.textCursor();
        c.setPosition(0);
        c.setPosition(1, QTextCursor::KeepAnchor);
        box.setTextCursor(c);
        addText(box, "C");
        QCOMPARE(boxText(box), QString("ABC"));
        QCOMPARE(box.textCursor().position(), 3);
        QVERIFY(!box.textCursor().hasSelection());

        // Many lines: the box scrolls to show the end.
        for (int i = 0; i < 50; ++i)
            addText(box, QString("line %1\r").arg(i));
        QCOMPARE(box.verticalScrollBar()->value(), box.verticalScrollBar()->maximum());
        QVERIFY(box.verticalScrollBar()->maximum() > 0);

        // Every Latin-1 character but the four handled ones is shown as itself.
        QString all;
        for (int c = 1; c < 256; ++c)
            if (c != 8 && c != 10 && c != 13)
                all.append(QChar(c));
        fill(box, "");
        addText(box, all);
        QCOMPARE(boxText(box), all);
        QCOMPARE(boxLength(box), all.size());
    }

    void backspaces_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("received");
        QTest::addColumn<QString>("after");
        QTest::newRow("inside a batch") << "" << "abc\bd" << "abd";
        QTest::newRow("cancels, then reaches back") << "xy" << "a\b\b" << "x";
        QTest::newRow("two at the start remove two") << "wxy" << "\b\b" << "w";
        QTest::newRow("replace the last character") << "y" << "\bx" << "x";
        QTest::newRow("more than the box holds") << "ab" << "\b\b\b\bz" << "z";
        QTest::newRow("empty box: dropped silently") << "" << "\bok" << "ok";
        QTest::newRow("a line break goes whole") << "ab\r\n" << "\b" << "ab";
        QTest::newRow("a received CR goes whole") << "ab" << "\r\bc" << "abc";
        QTest::newRow("a line feed is never shown") << "ab" << "c\n\b" << "ab";
        QTest::newRow("NUL is never shown") << "ab" << QString("c") + QChar(0) + "\b" << "ab";
    }
    void backspaces()
    {
        QFETCH(QString, before);
        QFETCH(QString, received);
        QFETCH(QString, after);
        QPlainTextEdit box;
        fill(box, before);
        addText(box, received);
        QCOMPARE(boxText(box), after);
        QCOMPARE(box.textCursor().position(), box.document()->characterCount() - 1);
    }

    void lineEnds_data()
    {
        QTest::addColumn<QString>("received");
        QTest::addColumn<QString>("shown");
        QTest::newRow("CR LF") << "one\r\ntwo" << "one\r\ntwo";
        QTest::newRow("LF alone joins") << "one\ntwo" << "onetwo";
        QTest::newRow("CR alone") << "\r" << "\r\n";
        QTest::newRow("LF CR") << "\n\r" << "\r\n";
        QTest::newRow("CR CR LF LF") << "a\r\r\n\nb" << "a\r\n\r\nb";
        QTest::newRow("NUL dropped, rest shown") << QString("A") + QChar(0) + "B" << "AB";
        QTest::newRow("only NULs") << QString(3, QChar(0)) << "";
    }
    void lineEnds()
    {
        QFETCH(QString, received);
        QFETCH(QString, shown);
        QPlainTextEdit box;
        addText(box, received);
        QCOMPARE(boxText(box), shown);
        QCOMPARE(boxLength(box), shown.size());
        QCOMPARE(box.document()->blockCount(), int(shown.count("\r\n")) + 1);
    }

    // The same bytes give the same text however they fall into ticks.
    void batchingDoesNotMatter()
    {
        const QString stream = QString("ab\bc\r\nline\n\r\b\bxy") + QChar(0) + "\b\rend\r";
        QPlainTextEdit whole;
        addText(whole, stream);
        for (int cut = 1; cut < stream.size(); ++cut) {
            QPlainTextEdit split;
            addText(split, stream.left(cut));
            addText(split, stream.mid(cut));
            QCOMPARE(boxText(split), boxText(whole));
        }
        QPlainTextEdit single;
        for (QChar c : stream)
            addText(single, QString(c));
        QCOMPARE(boxText(single), boxText(whole));
    }

    void sizeLimit()
    {
        QPlainTextEdit box;
        const QString line = QString(98, 'x') + "\r\n"; // 100 characters with its break

        // Exactly 16000: nothing dropped.
        fill(box, line.repeated(160));
        QCOMPARE(boxLength(box), 16000);
        addText(box, "A");
        QCOMPARE(boxLength(box), 16001);
        QVERIFY(boxText(box).startsWith(line));

        // 16001: the first 4096 go before the batch is appended.
        const QString before = boxText(box);
        addText(box, "B");
        QCOMPARE(boxText(box), before.mid(4096) + "B");
        QCOMPARE(boxLength(box), 16001 - 4096 + 1);
    }

    void sizeLimitKeepsLineBreaksWhole()
    {
        QPlainTextEdit box;
        // Character 4096 is the CR of a break: its LF goes with it.
        fill(box, QString(4095, 'a') + "\r\n" + QString(11905, 'b'));
        QCOMPARE(boxLength(box), 16002);
        addText(box, "c");
        QCOMPARE(boxText(box), QString(11905, 'b') + "c");

        // Character 4096 is the LF: the break goes whole and nothing else.
        fill(box, QString(4094, 'a') + "\r\n" + QString(11906, 'b'));
        addText(box, "c");
        QCOMPARE(boxText(box), QString(11906, 'b') + "c");

        // A break right behind the cut stays.
        fill(box, QString(4096, 'a') + "\r\n" + QString(11904, 'b'));
        addText(box, "c");
        QCOMPARE(boxText(box), "\r\n" + QString(11904, 'b') + "c");
    }

    void sizeLimitHoldsForLargeBatches()
    {
        QPlainTextEdit box;
        QString batch;
        for (int i = 0; batch.size() < 50 * 1024; ++i)
            batch += QString("%1 the quick brown fox\r").arg(i, 6, 10, QChar('0'));
        const QString shown = QString(batch).replace("\r", "\r\n");

        addText(box, batch); // a large batch is shown whole
        QCOMPARE(boxText(box), shown);

        // Before the next batch the box is cut back below the limit, 4096 at a time.
        addText(box, "Z");
        const qsizetype dropped = ((shown.size() - 16000 + 4095) / 4096) * 4096;
        QString kept = shown.mid(dropped);
        if (kept.startsWith('\n'))
            kept.remove(0, 1); // the cut fell inside a line break, which went whole
        QVERIFY(boxLength(box) <= 16001);
        QCOMPARE(boxText(box), kept + "Z");

        // A stream of large batches stays bounded.
        for (int i = 0; i < 5; ++i) {
            addText(box, batch);
            QVERIFY(boxLength(box) <= 16000 + shown.size());
        }
        QVERIFY(boxText(box).endsWith(shown));
    }

    // A tick's text, laid out as one planned edit, leaves the box exactly as the rule on the
    // plain text does: the whole old box dropped, backspaces reaching across line breaks.
    void tickIsOnePlannedEdit()
    {
        QString received;
        for (int i = 0; received.size() < 60000; ++i)
            received += QString("line %1").arg(i) + (i % 5 ? "\r\n" : "\b\b\r") + (i % 11 ? "" : "\b");
        const QString line = QString(98, 'x') + "\r\n";
        for (const QString &before : {QString(), line.repeated(150), line.repeated(160) + "y"}) {
            QPlainTextEdit box;
            fill(box, before);
            std::u16string expected = before.toStdU16String();
            for (const QString &tick : {received, QString("\b\b\b\bend\r\b\b"), received.left(300)}) {
                zantic::core::applyEdit(expected, zantic::core::planTick(expected, tick.toStdU16String()));
                zantic::addTick(box, tick);
                QCOMPARE(boxText(box), QString::fromStdU16String(expected));
                QCOMPARE(boxLength(box), qsizetype(expected.size()));
                QVERIFY(boxLength(box) <= qsizetype(zantic::core::kBoxLimit + 2 * zantic::core::kBatchSize));
            }
        }
    }
};

QTEST_MAIN(AddTextTest)
#include "tst_addtext.moc"
