// The library binding: the fixed path beside the executable, and the message and the end
// of the program when the library is missing or lacks a function. The failures end the
// program, so a child program copied into a temporary bin/ folder meets them.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class BindingTest : public QObject {
    Q_OBJECT

    struct Run {
        int exitCode = -1;
        QString out;
    };

    static Run runChild(const QString &program)
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TTY_COM_DIR", QDir::tempPath() + "/zantic-binding-no-ports");
        child.setProcessEnvironment(env);
        child.start(program, {});
        if (!child.waitForFinished(30000))
            qFatal("the child did not end");
        return {child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1,
                QString::fromLocal8Bit(child.readAllStandardOutput())};
    }

    // A copy of the child program in <dir>/bin; the binding looks in <dir>/lib.
    static QString placeChild(const QTemporaryDir &dir)
    {
        QDir(dir.path()).mkpath("bin");
        const QString exe = dir.path() + "/bin/bindchild";
        if (!QFile::copy(BINDCHILD, exe))
            qFatal("cannot copy the child");
        return exe;
    }

private slots:
    void libraryMissing()
    {
        QTemporaryDir dir;
        const Run run = runChild(placeChild(dir));
        const QString path = QDir::cleanPath(dir.path() + "/lib/libtty.so.1");
        QVERIFY2(run.out.contains("path: " + path + "\n"), qPrintable(run.out));
        QVERIFY2(run.out.contains("message: Cannot load the library " + path + ": "), qPrintable(run.out));
        QVERIFY2(run.out.contains("No such file"), qPrintable(run.out)); // the reason
        QVERIFY(!run.out.contains("returned:"));
        QVERIFY(run.exitCode != 0);
    }

    void functionMissing()
    {
        QTemporaryDir dir;
        const QString exe = placeChild(dir);
        QDir(dir.path()).mkpath("lib");
        QVERIFY(QFile::copy(NOFUNCTIONS, dir.path() + "/lib/libtty.so.1"));
        const Run run = runChild(exe);
        QVERIFY2(run.out.contains("message: The library " + dir.path() + "/lib/libtty.so.1"
                                  " has no function IOP_Open: "),
                 qPrintable(run.out));
        QVERIFY(!run.out.contains("returned:"));
        QVERIFY(run.exitCode != 0);
    }

    void libraryInTheBuildTree()
    {
        // bin/ and lib/ of the build tree have the installed layout: the real library binds,
        // and opening a port that is mapped to nothing fails plainly.
        const Run run = runChild(BINDCHILD);
        QVERIFY2(run.out.contains("returned: -1\n"), qPrintable(run.out));
        QVERIFY(!run.out.contains("message:"));
        QCOMPARE(run.exitCode, 0);
    }
};

QTEST_MAIN(BindingTest)
#include "tst_binding.moc"
