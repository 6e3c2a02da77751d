// A file replaced only once whole: a failed write leaves the old file as it
// was, a good one takes its place with the old permissions, through a symlink
// when the name is one, and leaves no temporary file behind.
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include "Replaced_file.h"

namespace {

std::string slurp(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<missing>");
}

void put(const QString &path, const char *text)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

}  // namespace

class TestReplacedFile : public QObject {
    Q_OBJECT
private slots:
    void failedWriteKeepsTheOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("capture.pcap");
        put(path, "yesterday");
        // A file size limit stands in for a full disk: writes past it fail.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 4;
        setrlimit(RLIMIT_FSIZE, &small);
        int error = 0;
        {
            Replaced_file file(path.toStdString());
            file.write(std::string(100000, 'x'));
            error = file.commit();
        }
        setrlimit(RLIMIT_FSIZE, &old);
        QCOMPARE(error, EFBIG);
        QCOMPARE(slurp(path), std::string("yesterday"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"capture.pcap"});
    }

    void goodWriteTakesThePlaceWithTheOldMode()
    {
        QTemporaryDir dir;
        const QString real = dir.filePath("tables.csv");
        const QString link = dir.filePath("link.csv");
        put(real, "old");
        ::chmod(real.toLocal8Bit().constData(), 0640);
        QVERIFY(QFile::link(real, link));
        {
            Replaced_file file(link.toStdString());
            file.write("new");
            QCOMPARE(file.commit(), 0);
        }
        QCOMPARE(slurp(real), std::string("new"));
        QVERIFY(QFileInfo(link).isSymLink());
        struct stat st;
        QCOMPARE(::stat(real.toLocal8Bit().constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0640u);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);
        // Dropped without commit: nothing changes, nothing is left behind.
        { Replaced_file file(real.toStdString()); file.write("half"); }
        QCOMPARE(slurp(real), std::string("new"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);
    }

    void replaceableProblems_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("problem");
        QTest::newRow("new file") << "/tmp/quillan-replaced-new.csv" << "";
        QTest::newRow("a folder") << "/tmp" << "Is a directory";
        QTest::newRow("no such folder") << "/nonexistent-quillan/t.csv" << "No such file or directory";
        QTest::newRow("a device") << "/dev/null" << "";
    }

    void replaceableProblems()
    {
        QFETCH(QString, path);
        QFETCH(QString, problem);
        QCOMPARE(QString::fromStdString(replaceable_problem(path.toStdString())), problem);
    }
};

QTEST_GUILESS_MAIN(TestReplacedFile)
#include "tst_replaced_file.moc"
