// The link library exports exactly its C interface and needs nothing but libc.
#include <QProcess>
#include <QSet>
#include <QtTest>

namespace
{

QString libraryPath()
{
    return QStringLiteral(CORVANE_LIBRARY_PATH);
}

// Runs a binutils tool on the library; its standard output.
QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

} // namespace

class TestExports : public QObject
{
    Q_OBJECT
private slots:
    void exportsExactlyTheInterface();
    void needsOnlyLibc();
};

void TestExports::exportsExactlyTheInterface()
{
    const QString out = run("nm", {"-D", "--defined-only", libraryPath()});
    QVERIFY2(!out.isEmpty(), qPrintable(libraryPath()));
    const QSet<QString> expected = {"CRC_calc",
                                    "CRC_check",
                                    "LRC_check",
                                    "itascxr",
                                    "ascxti",
                                    "bitrd",
                                    "bitwt",
                                    "seropen",
                                    "serclose",
                                    "serwrite",
                                    "sersend",
                                    "serrecv",
                                    "serread",
                                    "serflush",
                                    "serloc",
                                    "serfd",
                                    "tsleep",
                                    "get_date_time",
                                    "set_date_time",
                                    "corvane_set_message_handler"};
    QSet<QString> exported;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split(' ', Qt::SkipEmptyParts);
        QVERIFY2(f.size() == 3, qPrintable(line));
        QVERIFY2(!f[2].startsWith("_Z"), qPrintable("C++ symbol exported: " + line));
        QVERIFY2(expected.contains(f[2]), qPrintable("unexpected export: " + line));
        QVERIFY2(f[1] == "T", qPrintable("not a function: " + line));
        exported.insert(f[2]);
    }
    QCOMPARE(exported, expected);
}

void TestExports::needsOnlyLibc()
{
#ifdef CORVANE_SANITIZED
    QSKIP("sanitizer runtimes are linked in this build");
#endif
    const QString out = run("readelf", {"-d", libraryPath()});
    QVERIFY2(!out.isEmpty(), qPrintable(libraryPath()));
    QStringList needed;
    static const QRegularExpression re(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
    for (auto it = re.globalMatch(out); it.hasNext();)
        needed << it.next().captured(1);
    QVERIFY(needed.contains("libc.so.6"));
    for (const QString &lib : std::as_const(needed))
        QVERIFY2(lib == "libc.so.6" || lib.startsWith("ld-linux"), qPrintable("needs " + lib));
}

QTEST_GUILESS_MAIN(TestExports)
#include "tst_exports.moc"
