// The device map's CSV file: every rule refused with its line and reason,
// the forms hand edits and spreadsheets write taken, and a map written back
// reading to the same map.
#include <QtTest>

#include <sys/stat.h>

#include "Device_map.h"

namespace {

const std::string kGood = "name,address\nkeep,40001\n";

std::string many_entries(int n)
{
    std::string text = "name,address\n";
    for (int i = 0; i < n; ++i)
        text += "e" + std::to_string(i) + ",4" + std::to_string(10001 + i) + "\n";
    return text;
}

}  // namespace

class TestDeviceMap : public QObject {
    Q_OBJECT
private slots:
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        auto row = [](const char *tag, const QByteArray &text, const QByteArray &message) {
            QTest::newRow(tag) << text << "pump.csv: " + QString::fromUtf8(message);
        };
        row("empty file", "# only a comment\n\n", "no header line");
        row("unknown columns", "name,address,fromat,unti\n", "line 1: fromat, unti: unknown columns");
        row("column twice", "name,address,Name\n", "line 1: name: column given twice");
        row("address column missing", "name,unit\n", "line 1: address: column missing");
        row("column without name", "name,address,\n", "line 1: column 3 has no name");
        row("field count", "name,address\na,40001,3\n", "line 2: 3 fields where the header has 2");
        row("name missing", "name,address\n,40001\n", "line 2: name: missing");
        row("name with a blank", "name,address\nflow rate,40001\n",
            "line 2: flow rate: not a name (1 to 64 of A-Z a-z 0-9 _ . -)");
        row("name too long", "name,address\n" + QByteArray(65, 'n') + ",40001\n",
            "line 2: nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn...: not a name (1 to 64 of A-Z a-z 0-9 _ . -)");
        row("name twice, lines counted past comments", "# pump\nname,address\na,40001\n\n# b\na,40002\n",
            "line 6: a: name already used on line 3");
        row("address missing", "name,address\na,\n", "line 2: address: missing");
        row("four digits", "name,address\na,4001\n", "line 2: 4001: not an address (5 or 6 digits, as 40001 or 400001)");
        row("table 2", "name,address\na,20001\n", "line 2: 20001: not an address (5 or 6 digits, as 40001 or 400001)");
        row("number 0", "name,address\na,40000\n", "line 2: 40000: not an address (5 or 6 digits, as 40001 or 400001)");
        row("past 65536", "name,address\na,465537\n", "line 2: 465537: not an address (5 or 6 digits, as 40001 or 400001)");
        row("device 0", "name,address,device\na,40001,0\n", "line 2: 0: device is 1 to 247");
        row("device 248", "name,address,device\na,40001,248\n", "line 2: 248: device is 1 to 247");
        row("format case", "name,address,format\na,40001,float abcd\n", "line 2: float abcd: not a format");
        row("Bit on a register", "name,address,format\na,30001,Bit\n",
            "line 2: Bit: only coils and input relays take the format Bit");
        row("float on a coil", "name,address,format\na,00001,Float ABCD\n",
            "line 2: Float ABCD: coils take the format Bit");
        row("past the last register", "name,address,format\na,465536,Float ABCD\n",
            "line 2: 465536: Float ABCD takes 2 registers, past the last one");
        row("scale text", "name,address,scale\na,40001,x1\n", "line 2: x1: scale is not a number");
        row("scale 0", "name,address,scale\na,40001,0.0\n", "line 2: 0.0: scale must not be 0");
        row("offset infinite", "name,address,offset\na,40001,inf\n", "line 2: inf: offset is not a number");
        row("scale on a bit", "name,address,scale\na,10001,2\n", "line 2: 2: bits take no scale");
        const QByteArray unit17 = "\xC2\xB0" + QByteArray(16, 'C');  // a degree sign and 16 letters
        row("unit of 17 characters", "name,address,unit\na,40001," + unit17 + "\n",
            "line 2: " + unit17 + ": unit longer than 16 characters");
        row("unit not UTF-8", "name,address,unit\na,40001,\xFF\n", "line 2: unit: not UTF-8");
        row("writable Yes", "name,address,writable\na,40001,Yes\n", "line 2: Yes: writable is yes or no");
        row("writable input register", "name,address,writable\na,30001,yes\n",
            "line 2: yes: input registers cannot be written");
        row("description of 257", "name,address,description\na,40001," + QByteArray(257, 'd') + "\n",
            "line 2: description: longer than 256 characters");
        row("overlap", "name,address,format\n# pump\nflow_rate,40001,Float CDAB\n\n# level\nlevel,40003,\nspeed,40002,\n",
            "line 7: 40002: overlaps flow_rate (40001-40002)");
        row("overlap, six digits, device 3", "name,address,format,device\nd,400010,Double ABCDEFGH,3\nx,40013,,3\n",
            "line 3: 40013: overlaps d (400010-400013) of device 3");
        row("quote not closed", "name,address\na,\"40001\n", "line 2: quoted field not closed");
        row("quote inside", "name,address\na\"b,40001\n", "line 2: a quote inside an unquoted field");
        row("text after quote", "name,address\n\"a\"b,40001\n", "line 2: text after a closing quote");
        row("10 001 entries", QByteArray::fromStdString(many_entries(10001)), "line 10002: more than 10000 entries");
        row("over 1 MiB", QByteArray::fromStdString(kGood + "#" + std::string(1 << 20, 'x') + "\n"),
            "larger than 1048576 bytes");
    }
    void refusals()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        Device_map map;
        QCOMPARE(map.read(kGood, "pump.csv"), std::string());
        QCOMPARE(QString::fromStdString(map.read(text.toStdString(), "pump.csv")), message);
        // All or nothing: the map read before stays.
        QCOMPARE(map.size(), size_t(1));
        QVERIFY(map.find("keep") != nullptr);
    }

    // What spreadsheets and hand edits write is taken: byte-order mark, CR LF,
    // comments, blank lines, columns in any order and case, blanks around
    // fields, RFC 4180 quoting; then the map writes back in the table's form
    // and reads again to the same text.
    void acceptedFormsAndRoundTrip()
    {
        const std::string text =
            "\xEF\xBB\xBF# pump station\r\n"
            "Address , NAME,format,unit,description,scale,offset,device,writable,simulate\r\n"
            "\r\n"
            "40001, flow_rate ,Float CDAB,m3/h,\"Flow, \"\"main\"\" line\nsecond line\",0.1,-5,1,,ramp\r\n"
            "  # a comment after blanks\r\n"
            "400101,big,Double HGFEDCBA,,,,,2,no,\r\n"
            "00017,pump_on,,,,,,2,,\r\n"
            "10017,alarm,Bit,,,1,0,2,no,\r\n"
            "30001,temp,Signed,\xC2\xB0\x43,,0.01,,1,,\r\n";
        Device_map map;
        QCOMPARE(map.read(text, "pump.csv"), std::string());
        QCOMPARE(map.size(), size_t(5));
        const Map_entry &flow = map.entries()[0];
        QCOMPARE(flow.name, std::string("flow_rate"));
        QVERIFY(flow.table == Map_table::HoldingRegisters && flow.index == 0 && flow.count() == 2);
        QCOMPARE(flow.description, std::string("Flow, \"main\" line\nsecond line"));
        QCOMPARE(flow.line, size_t(4));
        QVERIFY(flow.scale == 0.1 && flow.offset == -5 && flow.writable && flow.simulate == "ramp");
        const Map_entry *big = map.find("big");
        QVERIFY(big && big->six_digits && big->index == 100 && big->device == 2 && !big->writable);
        QCOMPARE(big->line, size_t(7));  // after the two lines of the quoted description
        const Map_entry *pump = map.find("pump_on");
        QVERIFY(pump && pump->table == Map_table::Coils && pump->index == 16 && pump->writable);
        const Map_entry *alarm = map.find("alarm");
        QVERIFY(alarm && alarm->table == Map_table::InputRelays && !alarm->writable);
        const Map_entry *temp = map.find("temp");
        QVERIFY(temp && temp->table == Map_table::InputRegisters && !temp->writable && temp->unit == "\xC2\xB0\x43");

        const std::string written = map.text();
        QCOMPARE(written,
                 std::string("name,address,device,format,scale,offset,unit,writable,description,initial,simulate\n"
                             "flow_rate,40001,1,Float CDAB,0.1,-5,m3/h,yes,\"Flow, \"\"main\"\" line\nsecond "
                             "line\",,ramp\n"
                             "big,400101,2,Double HGFEDCBA,1,0,,no,,,\n"
                             "pump_on,00017,2,Bit,1,0,,yes,,,\n"
                             "alarm,10017,2,Bit,1,0,,no,,,\n"
                             "temp,30001,1,Signed,0.01,0,\xC2\xB0\x43,no,,,\n"));
        Device_map again;
        QCOMPARE(again.read(written, "pump.csv"), std::string());
        QCOMPARE(again.text(), written);

        // The same through a file.
        QTemporaryDir dir;
        const std::string path = dir.filePath("pump.csv").toStdString();
        QCOMPARE(map.save(path), std::string());
        Device_map loaded;
        QCOMPARE(loaded.load(path), std::string());
        QCOMPARE(loaded.text(), written);
    }

    // A pipe or device picked in the file dialog is refused at once instead
    // of blocking the window.
    void pipeRefusedWithoutWaiting()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath("map.csv");
        QCOMPARE(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
        Device_map map;
        QCOMPARE(map.load(fifo.toStdString()), std::string("map.csv: not a regular file"));
    }
};

QTEST_APPLESS_MAIN(TestDeviceMap)
#include "tst_device_map.moc"
