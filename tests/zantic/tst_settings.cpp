// The settings dialog on real widgets: list contents, the defaults, the words OK builds,
// Cancel and the close control, layout and keyboard order. (Its arithmetic: core_test.)
#include "settings.h"
#include "velkooptions.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>

#include "helpers.h"

using namespace zantic;
using testkit::child;

class SettingsTest : public QObject {
    Q_OBJECT

    static void pick(QWidget *dialog, const char *list, const QString &entry)
    {
        auto *c = child<QComboBox>(dialog, list);
        const int i = c->findText(entry, Qt::MatchExactly);
        QVERIFY2(i >= 0, qPrintable(entry));
        c->setCurrentIndex(i);
    }

private slots:
    void listsAndDefaults()
    {
        Velkooptions dialog;
        QCOMPARE(dialog.windowTitle(), QString("Setting Box"));
        auto entries = [&](const char *name) {
            QStringList l;
            auto *c = child<QComboBox>(&dialog, name);
            if (c->isEditable())
                l << "editable!";
            for (int i = 0; i < c->count(); ++i)
                l << c->itemText(i);
            return l;
        };
        QStringList ports;
        for (int n = 1; n <= 60; ++n)
            ports << QString("Com%1").arg(n);
        QCOMPARE(entries("cboPort"), ports);
        QCOMPARE(entries("cboSpeed"),
                 QStringList({"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                              "28800", "38400", "56000", "57600", "115200", "128000", "256000"}));
        QCOMPARE(entries("cboDataBits"), QStringList({"5", "6", "7", "8"}));
        QCOMPARE(entries("cboParity"), QStringList({"None", "Even", "Odd", "Mark", "Space"}));
        QCOMPARE(entries("cboStopBits"), QStringList({"1", "2"}));

        QCOMPARE(child<QComboBox>(&dialog, "cboPort")->currentText(), QString("Com2"));
        QCOMPARE(child<QComboBox>(&dialog, "cboSpeed")->currentText(), QString("9600"));
        QCOMPARE(child<QComboBox>(&dialog, "cboDataBits")->currentText(), QString("8"));
        QCOMPARE(child<QComboBox>(&dialog, "cboParity")->currentText(), QString("None"));
        QCOMPARE(child<QComboBox>(&dialog, "cboStopBits")->currentText(), QString("1"));
        const char *captions[] = {"None", "Xon/Xoff", "RTS", "Xon/RTS"};
        for (int i = 0; i < 4; ++i) {
            auto *opt = child<QRadioButton>(&dialog, qPrintable(QString("optFlow%1").arg(i)));
            QCOMPARE(opt->text(), QString(captions[i]));
            QCOMPARE(opt->isChecked(), i == 0);
        }
        QCOMPARE(dialog.FlowIndex, int16_t(0));
    }

    void okBuildsTheWord_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QString>("dataBits");
        QTest::addColumn<QString>("parity");
        QTest::addColumn<QString>("stopBits");
        QTest::addColumn<int>("flow");
        QTest::addColumn<int>("wantPort");
        QTest::addColumn<int>("wantFlag");
        QTest::newRow("defaults") << "" << "" << "" << "" << "" << -1 << 2 << 0x1036;
        QTest::newRow("115200 Xon/RTS") << "Com1" << "115200" << "8" << "None" << "1" << 3 << 1 << 0x00BC;
        QTest::newRow("256000 Space 2 Xon/Xoff")
            << "Com60" << "256000" << "8" << "Space" << "2" << 1 << 60 << 0x14FE;
        QTest::newRow("28800 7E1 RTS") << "Com9" << "28800" << "7" << "Even" << "1" << 2 << 9 << 0x012F;
        QTest::newRow("110 5 Mark 1 None") << "Com10" << "110" << "5" << "Mark" << "1" << 0 << 10 << 0x1300;
    }
    void okBuildsTheWord()
    {
        QFETCH(QString, port);
        QFETCH(QString, speed);
        QFETCH(QString, dataBits);
        QFETCH(QString, parity);
        QFETCH(QString, stopBits);
        QFETCH(int, flow);
        QFETCH(int, wantPort);
        QFETCH(int, wantFlag);

        Velkooptions dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        if (!port.isEmpty()) {
            pick(&dialog, "cboPort", port);
            pick(&dialog, "cboSpeed", speed);
            pick(&dialog, "cboDataBits", dataBits);
            pick(&dialog, "cboParity", parity);
            pick(&dialog, "cboStopBits", stopBits);
        }
        if (flow >= 0) {
            QTest::mouseClick(child<QRadioButton>(&dialog, qPrintable(QString("optFlow%1").arg(flow))),
                              Qt::LeftButton);
            QCOMPARE(dialog.FlowIndex, int16_t(flow));
        }
        QTest::mouseClick(child<QPushButton>(&dialog, "cmdOK"), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.port(), wantPort);
        QCOMPARE(dialog.flag(), wantFlag);
    }

    void cancelEscapeAndClose()
    {
        {
            Velkooptions dialog;
            dialog.show();
            QTest::mouseClick(child<QPushButton>(&dialog, "cmdCancel"), Qt::LeftButton);
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        }
        {
            // No cancel button: Escape leaves the dialog open; neither is Enter a default.
            Velkooptions dialog;
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QVERIFY(dialog.isVisible());
            QVERIFY(!child<QPushButton>(&dialog, "cmdOK")->isDefault());
            QVERIFY(!child<QPushButton>(&dialog, "cmdOK")->autoDefault());
            QVERIFY(!child<QPushButton>(&dialog, "cmdCancel")->autoDefault());
            dialog.close(); // the window's close control
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        }
    }

    void layout()
    {
        Velkooptions dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.size(), QSize(403, 299));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        QVERIFY(!(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint));

        // Centred on the whole screen.
        const QRect screen = dialog.screen()->geometry();
        const QRect frame = dialog.frameGeometry();
        QVERIFY(qAbs(frame.center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(frame.center().y() - screen.center().y()) <= 1);

        struct Place { const char *name; const char *parent; QRect at; };
        const Place places[] = {
            {"Label4", "Velkooptions", {32, 24, 57, 17}},   {"cboPort", "Velkooptions", {96, 24, 95, 20}},
            {"Frame1", "Velkooptions", {24, 56, 177, 65}},  {"cboSpeed", "Frame1", {48, 80, 129, 20}},
            {"Frame2", "Velkooptions", {24, 144, 177, 129}}, {"Label1", "Frame2", {40, 168, 49, 17}},
            {"cboDataBits", "Velkooptions", {96, 168, 92, 20}}, {"Label2", "Frame2", {56, 200, 41, 25}},
            {"cboParity", "Velkooptions", {96, 200, 92, 20}}, {"Label3", "Frame2", {40, 232, 49, 17}},
            {"cboStopBits", "Frame2", {96, 232, 92, 20}},  {"Frame3", "Velkooptions", {232, 56, 121, 113}},
            {"optFlow0", "Frame3", {248, 72, 57, 17}},     {"optFlow1", "Frame3", {248, 96, 73, 17}},
            {"optFlow2", "Frame3", {248, 120, 49, 17}},    {"optFlow3", "Frame3", {248, 144, 77, 17}},
            {"cmdOK", "Velkooptions", {216, 224, 81, 25}},  {"cmdCancel", "Velkooptions", {304, 224, 81, 25}},
        };
        for (const Place &p : places) {
            auto *w = child<QWidget>(&dialog, p.name);
            QCOMPARE(w->parentWidget()->objectName(), QString(p.parent));
            QCOMPARE(QRect(w->mapTo(&dialog, QPoint(0, 0)), w->size()), p.at);
        }
        const QStringList texts = {"Label4:Com Port:", "Label1:Data Bits:", "Label2:Parity:",
                                   "Label3:Stop Bits:", "Frame1:Baud Rate", "Frame2:Setup",
                                   "Frame3:Flow Control", "cmdOK:OK", "cmdCancel:Cancel"};
        for (const QString &t : texts) {
            const QString name = t.section(':', 0, 0), text = t.section(':', 1);
            QWidget *w = child<QWidget>(&dialog, qPrintable(name));
            if (auto *l = qobject_cast<QLabel *>(w))
                QCOMPARE(l->text(), text);
            else if (auto *g = qobject_cast<QGroupBox *>(w))
                QCOMPARE(g->title(), text);
            else
                QCOMPARE(qobject_cast<QPushButton *>(w)->text(), text);
        }

        // Nothing is cut: every caption fits its control.
        for (QWidget *w : dialog.findChildren<QWidget *>()) {
            if (qobject_cast<QLabel *>(w) || qobject_cast<QRadioButton *>(w) ||
                qobject_cast<QPushButton *>(w)) {
                QVERIFY2(w->sizeHint().width() <= w->width(), qPrintable(w->objectName()));
                QVERIFY2(w->fontMetrics().height() <= w->height(), qPrintable(w->objectName()));
            } else if (auto *g = qobject_cast<QGroupBox *>(w)) {
                QVERIFY2(g->minimumSizeHint().width() <= g->width(), qPrintable(g->objectName()));
            } else if (auto *c = qobject_cast<QComboBox *>(w)) {
                for (int i = 0; i < c->count(); ++i)
                    QVERIFY(c->fontMetrics().horizontalAdvance(c->itemText(i)) < c->width() - 24);
                QVERIFY(c->fontMetrics().height() + 4 <= c->height());
            }
        }
    }

    void keyboardOrder()
    {
        Velkooptions dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QStringList want = {"cboSpeed", "cboPort", "cboDataBits", "cboParity",
                                  "cboStopBits", "cmdOK", "cmdCancel", "optFlow0",
                                  "optFlow1", "optFlow2", "optFlow3"};
        // The focus chain, from cboSpeed on, visits the named controls in this order.
        QStringList seen;
        QWidget *w = child<QWidget>(&dialog, "cboSpeed");
        for (int i = 0; i < 200 && seen.size() < want.size(); ++i, w = w->nextInFocusChain()) {
            if (want.contains(w->objectName()) && !seen.contains(w->objectName()))
                seen << w->objectName();
        }
        QCOMPARE(seen, want);
    }
};

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
