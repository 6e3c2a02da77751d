// Station setups in the six windows: every control saved and opened again in
// a fresh window, keys left out back at their defaults, files refused whole
// (another station's, a bad value, a map that does not load) with one box
// naming the key, and a map's path taken from the setup file's folder.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

#include "Master_ascii.h"
#include "Master_rtu.h"
#include "Master_tcp.h"
#include "Modal.h"
#include "Notices.h"
#include "Setup_fields.h"
#include "Slave_ascii.h"
#include "Slave_rtu.h"
#include "Slave_tcp.h"
#include "slave/Fake_link.h"

namespace {

QString g_dir;  // where the maps the settings name are

// A device map both sides take: the slaves use initial and simulate.
const char kMap[] = "name,address,format,unit,initial,simulate\n"
                    "flow_rate,40001,Float CDAB,m3/h,12.5,\n"
                    "level,40003,Signed,mm,,\"ramp(0, 100, 10)\"\n";

std::unique_ptr<QWidget> makeStation(int kind)
{
    switch (kind) {
    case MasterRtu: return std::make_unique<TMSRTU_Form>();
    case MasterAscii: return std::make_unique<TMSASC_Form>();
    case MasterTcp: return std::make_unique<TMSTCP_Form>();
    case SlaveRtu: return std::make_unique<TSLRTU_Form>();
    case SlaveAscii: return std::make_unique<TSLASC_Form>();
    default: return std::make_unique<TSLTCP_Form>();
    }
}

QWidget *control(QWidget *w, const QString &name)
{
    auto *c = w->findChild<QWidget *>(name);
    if (!c)
        qFatal("no control %s", qPrintable(name));
    return c;
}

QString mapPathOf(QWidget *w)
{
    if (auto *master = qobject_cast<MasterWindow *>(w))
        return master->watchPage()->mapPath();
    return qobject_cast<SlaveStationForm *>(w)->mapPath();
}

// A control's value as text; the port label stands for the line settings,
// LoadMap for the map's file and WatchView for the names ticked to plot.
QString shown(QWidget *w, const QString &name)
{
    QWidget *c = control(w, name);
    if (name == "LoadMap")
        return QFileInfo(mapPathOf(w)).fileName();
    if (auto *view = qobject_cast<QTableView *>(c)) {
        QStringList names;
        for (int row = 0; row < view->model()->rowCount(); ++row)
            if (view->model()->index(row, 8).data(Qt::CheckStateRole).toInt() == Qt::Checked)
                names << view->model()->index(row, 0).data().toString();
        return names.join(',');
    }
    if (auto *box = qobject_cast<QComboBox *>(c))
        return box->currentText();
    if (auto *spin = qobject_cast<QSpinBox *>(c))
        return QString::number(spin->value());
    if (auto *check = qobject_cast<QCheckBox *>(c))
        return check->isChecked() ? "true" : "false";
    if (auto *edit = qobject_cast<QLineEdit *>(c))
        return edit->text();
    return qobject_cast<QLabel *>(c)->text();
}

// Sets a control as the operator would; the line settings ("COM3 Port
// 19200 E 7 2") through "Port Define".
void setControl(QWidget *w, const QString &name, const QString &value)
{
    QWidget *c = control(w, name);
    if (name == "LoadMap") {
        const QString file = QDir(g_dir).filePath(value);
        auto *master = qobject_cast<MasterWindow *>(w);
        QVERIFY(master ? master->watchPage()->loadMap(file) : qobject_cast<SlaveStationForm *>(w)->loadMap(file));
    } else if (auto *view = qobject_cast<QTableView *>(c)) {
        for (int row = 0; row < view->model()->rowCount(); ++row)
            if (value.split(',').contains(view->model()->index(row, 0).data().toString()))
                view->model()->setData(view->model()->index(row, 8), Qt::Checked, Qt::CheckStateRole);
    } else if (auto *box = qobject_cast<QComboBox *>(c)) {
        QVERIFY2(box->findText(value) >= 0, qPrintable(value));
        box->setCurrentText(value);
    } else if (auto *spin = qobject_cast<QSpinBox *>(c)) {
        spin->setValue(value.toInt());
    } else if (auto *check = qobject_cast<QCheckBox *>(c)) {
        check->setChecked(value == "true");
    } else if (auto *edit = qobject_cast<QLineEdit *>(c)) {
        edit->setText(value);
    } else {
        const QStringList line = value.split(' ');  // COMn Port baud parity data stop
        set_modal_runner([&](QDialog *d) {
            const int port = line[0].mid(3).toInt() - 1;
            d->findChild<QComboBox *>("ComboBox1")->setCurrentIndex(port);
            d->findChild<QComboBox *>("ComboBox6")->setCurrentIndex(port);
            d->findChild<QComboBox *>("ComboBox2")->setCurrentText(line[2]);
            d->findChild<QComboBox *>("ComboBox3")->setCurrentIndex(QString("NOE").indexOf(line[3]));
            d->findChild<QComboBox *>("ComboBox4")->setCurrentText(line[4]);
            d->findChild<QComboBox *>("ComboBox5")->setCurrentText(line[5]);
            return int(QDialog::Accepted);
        });
        qobject_cast<QPushButton *>(control(w, "BitBtn3"))->click();
        set_modal_runner({});
    }
}

}  // namespace

class TestStationSetups : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString answer_;  // what the file dialog gives
    QStringList boxes_;

    QString path(const char *name) const { return dir_.filePath(name); }

    // The window's setup as saved by "Save setup…".
    QJsonObject saved(QWidget *w)
    {
        answer_ = path("saved.qsetup");
        QFile::remove(answer_);
        qobject_cast<QPushButton *>(control(w, "SaveSetup"))->click();
        QFile f(answer_);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(f.readAll()).object();
    }

    void open(QWidget *w, const QString &file)
    {
        answer_ = file;
        qobject_cast<QPushButton *>(control(w, "OpenSetup"))->click();
    }

    void write(const char *name, int kind, const QByteArray &keys)
    {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("{\"format\": \"quillan-setup\", \"version\": 1, \"station\": \"") +
                setup_station_name(kind) + "\"" + (keys.isEmpty() ? "" : ", " + keys) + "}");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        g_dir = dir_.path();
        QFile map(path("pump.csv"));
        QVERIFY(map.open(QIODevice::WriteOnly));
        map.write(kMap);
        set_setup_file_asker([this](QWidget *, bool) { return answer_; });
        set_message_box_sink([this](const std::string &t, const std::string &c) {
            boxes_ << QString::fromStdString(c + "|" + t);
        });
    }
    void cleanupTestCase()
    {
        set_setup_file_asker({});
        set_message_box_sink({});
    }
    void init() { boxes_.clear(); }

    void roundTrip_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("settings");
        QTest::newRow("Master RTU") << int(MasterRtu)
                                    << QStringList{"ComboBox1=Holding Register (Addr: 4xxxx)", "MaskEdit1=17",
                                                   "MaskEdit2=300", "MaskEdit3=12", "PollInterval=250",
                                                   "FormatBox=Float CDAB", "FastBox=true",
                                                   "Label1=COM3 Port 19200 E 7 2", "LoadMap=pump.csv",
                                                   "WatchBox=true", "WatchView=level", "TrendSpan=1 h"};
        QTest::newRow("Master ASCII") << int(MasterAscii)
                                      << QStringList{"ComboBox1=Input Relay (Addr: 1xxxx)", "MaskEdit1=247",
                                                     "MaskEdit2=9999", "MaskEdit3=960", "PollInterval=0",
                                                     "FormatBox=Hex", "FastBox=true",
                                                     "Label1=COM5 Port 115200 N 8 2", "LoadMap=pump.csv",
                                                     "WatchBox=true", "WatchView=flow_rate,level",
                                                     "TrendSpan=8 h"};
        QTest::newRow("Master TCP") << int(MasterTcp)
                                    << QStringList{"ComboBox1=Input Register (Addr: 3xxxx)", "MaskEdit1=5",
                                                   "MaskEdit2=1000", "MaskEdit3=60", "PollInterval=40",
                                                   "FormatBox=Double HGFEDCBA", "Edit1=plc-7.local",
                                                   "MaskEdit4=1502", "TimeoutMs=2500",
                                                   "Framing=RTU over TCP", "LoadMap=pump.csv", "WatchBox=true",
                                                   "WatchView=flow_rate", "TrendSpan=1 min"};
        QTest::newRow("Slave RTU") << int(SlaveRtu)
                                   << QStringList{"UnitIds=1, 5, 10-20", "DelayMs=250", "DropEvery=3",
                                                  "ForceException=04 Slave device failure", "CorruptBox=true",
                                                  "FormatBox=Float ABCD", "Label1=COM2 Port 38400 O 7 2",
                                                  "MoreCodes=true", "LoadMap=pump.csv"};
        QTest::newRow("Slave ASCII") << int(SlaveAscii)
                                     << QStringList{"UnitIds=9", "DelayMs=50", "DropEvery=1",
                                                    "ForceException=01 Illegal function", "CorruptBox=true",
                                                    "FormatBox=Binary", "Label1=COM4 Port 4800 E 8 2",
                                                    "MoreCodes=true", "LoadMap=pump.csv"};
        QTest::newRow("Slave TCP") << int(SlaveTcp)
                                   << QStringList{"UnitIds=7", "DelayMs=100", "DropEvery=2",
                                                  "ForceException=0B Gateway target failed to respond",
                                                  "FormatBox=Unsigned long ABCD", "Framing=Modbus/UDP",
                                                  "MoreCodes=true", "LoadMap=pump.csv"};
    }

    // Every control set away from its default, saved, and opened in a fresh
    // window; then a setup without keys brings the defaults back.
    void roundTrip()
    {
        QFETCH(int, kind);
        QFETCH(QStringList, settings);
        auto first = makeStation(kind);
        const QJsonObject defaults = saved(first.get());
        for (const QString &s : settings)
            setControl(first.get(), s.section('=', 0, 0), s.section('=', 1));
        const QJsonObject changed = saved(first.get());
        QCOMPARE(changed.value("station").toString(), QString(setup_station_name(kind)));
        // Each key of the setup is one the settings above change.
        for (const QString &key : defaults.keys())
            if (key != "format" && key != "version" && key != "station")
                QVERIFY2(changed.value(key) != defaults.value(key), qPrintable(key + " left at its default"));

        auto fresh = makeStation(kind);
        open(fresh.get(), path("saved.qsetup"));
        for (const QString &s : settings)
            QCOMPARE(shown(fresh.get(), s.section('=', 0, 0)), s.section('=', 1));
        QCOMPARE(saved(fresh.get()), changed);

        write("empty.qsetup", kind, {});
        open(fresh.get(), path("empty.qsetup"));
        QCOMPARE(saved(fresh.get()), defaults);
        QCOMPARE(boxes_, QStringList());
    }

    void refused_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("fileKind");
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<QString>("box");
        QTest::newRow("another station") << int(MasterTcp) << int(SlaveTcp) << QByteArray("\"delay_ms\": 5")
                                         << false << "station: a setup of Slave TCP, not of Master TCP";
        QTest::newRow("out of range") << int(MasterRtu) << int(MasterRtu)
                                      << QByteArray("\"value_format\": \"Hex\", \"device\": 1000") << false
                                      << "device: must be a whole number from 0 to 999";
        QTest::newRow("baud not offered") << int(SlaveRtu) << int(SlaveRtu)
                                          << QByteArray("\"delay_ms\": 100, \"units\": \"3\", \"baud\": 9601")
                                          << false
                                          << "baud: must be one of: 1200, 2400, 4800, 9600, 19200, 38400, "
                                             "57600, 115200";
        QTest::newRow("unit list") << int(SlaveTcp) << int(SlaveTcp)
                                   << QByteArray("\"delay_ms\": 100, \"units\": \"1, 5-\"") << false
                                   << "units: 5-: range without an end";
        QTest::newRow("watch without a map") << int(MasterRtu) << int(MasterRtu) << QByteArray("\"watch\": true")
                                             << false << "watch: no map to poll: map names none";
        QTest::newRow("plot of no entry") << int(MasterAscii) << int(MasterAscii)
                                          << QByteArray("\"map\": \"pump.csv\", \"plot\": [\"level\", \"flow\"]")
                                          << false << "plot: flow: no entry of that name in the map";
        QTest::newRow("line of an open port") << int(SlaveAscii) << int(SlaveAscii)
                                              << QByteArray("\"delay_ms\": 100, \"parity\": \"Even\"") << true
                                              << "parity: the port is open: close it before changing its "
                                                 "line settings";
    }

    // One box naming the key, and the window as it was.
    void refused()
    {
        QFETCH(int, kind);
        QFETCH(int, fileKind);
        QFETCH(QByteArray, keys);
        QFETCH(bool, portOpen);
        QFETCH(QString, box);
        auto w = makeStation(kind);
        FakeLink link;
        if (portOpen) {
            auto *serial = qobject_cast<SerialSlaveForm *>(w.get());
            serial->setLink(&link);
            serial->BitBtn1->click();
            QVERIFY(serial->serverOpen());
        }
        const QJsonObject before = saved(w.get());
        write("bad.qsetup", fileKind, keys);
        open(w.get(), path("bad.qsetup"));
        QCOMPARE(boxes_, QStringList{"Quillan|Setup not opened: bad.qsetup: " + box});
        QCOMPARE(saved(w.get()), before);
        if (portOpen)
            qobject_cast<SerialSlaveForm *>(w.get())->BitBtn2->click();
    }

    // A setup's "Poll the map" sends nothing and shows no box while the
    // connection is closed; the operator's "open" starts the map's reads.
    void watchWaitsForLink()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        auto w = makeStation(MasterTcp);
        write("watch.qsetup", MasterTcp,
              "\"port\": " + QByteArray::number(server.serverPort()) + ", \"map\": \"pump.csv\", \"watch\": true");
        open(w.get(), path("watch.qsetup"));
        QTest::qWait(50);
        QCOMPARE(shown(w.get(), "WatchBox"), QString("true"));
        QCOMPARE(boxes_, QStringList());
        qobject_cast<QPushButton *>(control(w.get(), "BitBtn3"))->click();
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QTRY_VERIFY(peer->bytesAvailable() >= 12);
        // Unit 1, code 3, 40001 and 3 registers: the map's one block.
        QCOMPARE(peer->readAll().mid(6).toHex(), QByteArray("010300000003"));
        QCOMPARE(boxes_, QStringList());
    }

    void mapBesideSetup_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("map");
        QTest::addColumn<QString>("box");  // its start; empty: opened
        QTest::newRow("master") << int(MasterRtu) << QByteArray(kMap) << QString();
        QTest::newRow("slave") << int(SlaveTcp) << QByteArray(kMap) << QString();
        const QByteArray twice = "name,address\nflow_rate,40001\nflow_rate,40002\n";
        const QString refused = "Quillan|Setup not opened: s.qsetup: map: pump.csv: line 3: ";
        QTest::newRow("master, bad map") << int(MasterTcp) << twice << refused;
        QTest::newRow("slave, bad map") << int(SlaveAscii) << twice << refused;
    }

    // A relative map path is taken from the setup file's folder, not the
    // working one; a map that does not load is refused whole, naming the
    // key, with the map loaded before and every control kept.
    void mapBesideSetup()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, map);
        QFETCH(QString, box);
        QVERIFY(QDir(dir_.path()).mkpath("project"));
        QFile mapFile(path("project/pump.csv"));
        QVERIFY(mapFile.open(QIODevice::WriteOnly));
        mapFile.write(map);
        mapFile.close();
        auto w = makeStation(kind);
        setControl(w.get(), "LoadMap", "pump.csv");
        const QJsonObject before = saved(w.get());
        write("project/s.qsetup", kind, "\"value_format\": \"Float ABCD\", \"map\": \"pump.csv\"");
        open(w.get(), path("project/s.qsetup"));
        if (box.isEmpty()) {
            QCOMPARE(boxes_, QStringList());
            QCOMPARE(mapPathOf(w.get()), path("project/pump.csv"));
            QCOMPARE(saved(w.get()).value("map").toString(), QString("project/pump.csv"));
        } else {
            QCOMPARE(boxes_.size(), 1);
            QVERIFY2(boxes_[0].startsWith(box), qPrintable(boxes_[0]));
            QCOMPARE(saved(w.get()), before);
        }
    }
};

QTEST_MAIN(TestStationSetups)
#include "tst_station_setups.moc"
