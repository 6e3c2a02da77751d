// The program's message boxes are real modal Qt boxes; the masked fields are
// read with their blanks.
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "Gui_services.h"
#include "Notices.h"
#include "corvane.h"

namespace {

// Answers every modal message box that comes up (as an operator pressing OK)
// and keeps what each one showed.
class BoxAnswerer : public QObject {
public:
    struct Seen {
        QString caption, text;
        bool modal = false, ownerless = false, noIcon = false, onlyOk = false;
    };
    QList<Seen> seen;

    BoxAnswerer()
    {
        poll_.setInterval(10);
        connect(&poll_, &QTimer::timeout, this, [this] { look(); });
        poll_.start();
    }

private:
    void look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        Seen s;
        s.caption = box->windowTitle();
        s.text = box->text();
        s.modal = box->isModal();
        s.ownerless = box->parentWidget() == nullptr;
        s.noIcon = box->icon() == QMessageBox::NoIcon;
        s.onlyOk = box->buttons().size() == 1 && box->standardButtons() == QMessageBox::Ok;
        seen << s;
        box->button(QMessageBox::Ok)->click();
    }
    QTimer poll_;
};

}  // namespace

class TestMessageBoxes : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { install_qt_message_boxes(); }
    void cleanupTestCase()
    {
        set_message_box_sink({});
        corvane_set_message_handler(nullptr, nullptr);
    }

    void programBoxIsModalQtBox()
    {
        BoxAnswerer op;
        show_message_box("Port's definition has been changed.....\n, Please reopen port again....");
        QCOMPARE(op.seen.size(), 1);
        const auto &s = op.seen[0];
        QCOMPARE(s.caption, QString("Quillan"));
        QCOMPARE(s.text, QString("Port's definition has been changed.....\n, Please reopen port again...."));
        QVERIFY(s.modal);
        QVERIFY(s.ownerless);
        QVERIFY(s.noIcon);
        QVERIFY(s.onlyOk);
    }

    // Text that looks like markup is shown as it is.
    void textIsPlain()
    {
        BoxAnswerer op;
        show_message_box("<b>1 < 2</b>", "Zentavor");
        QCOMPARE(op.seen.size(), 1);
        QCOMPARE(op.seen[0].caption, QString("Zentavor"));
        QCOMPARE(op.seen[0].text, QString("<b>1 < 2</b>"));
    }

    // The library's own boxes come up the same way, with the library's caption.
    void libraryBox()
    {
        BoxAnswerer op;
        QCOMPARE(serclose(8), 0);  // COM8 is not open here
        QCOMPARE(op.seen.size(), 1);
        QCOMPARE(op.seen[0].caption, QString("RS232C SUB."));
        QCOMPARE(op.seen[0].text, QString("Port is already close"));
        QVERIFY(op.seen[0].modal);
    }

    // An empty device address field, address 0 and count 0: three boxes, one
    // after the other, in the order of the checks.
    void threeBoxesInARow()
    {
        QLineEdit device, address, count;
        device.setInputMask(QString("000; "));
        address.setInputMask(QString("0000; "));
        count.setInputMask(QString("0000; "));
        address.setText("0");
        count.setText("0");
        BoxAnswerer op;
        const uint16_t dev = uint16_t(read_decimal_field(&device));
        const uint16_t adr = uint16_t(read_decimal_field(&address));
        const uint16_t cnt = uint16_t(read_decimal_field(&count));
        QCOMPARE(dev, uint16_t(0));
        int failed = 0;
        failed += check_device_address(dev) != 0;
        failed += check_register_address(adr) != 0;
        failed += check_comm_count(cnt, 120) != 0;
        QCOMPARE(failed, 3);
        QStringList texts;
        for (const auto &s : op.seen) {
            QCOMPARE(s.caption, QString("Quillan"));
            texts << s.text;
        }
        QCOMPARE(texts, QStringList({"Modbus Device Address must be 1 - 247 !!!!",
                                     "Register/Relay Address must be 1 - 9999 !!!!",
                                     "Communication Words/Bits must be 1 - 120 !!!!"}));
    }

    // A masked field reads as the stations read it: leading blanks skipped,
    // digits up to the first other character; an empty place is a blank.
    void readDecimalField_data()
    {
        QTest::addColumn<QString>("mask");  // empty: a plain field
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("cursor");    // where typing starts
        QTest::addColumn<long>("value");
        const QString m5 = QString("00000; ");
        QTest::newRow("empty masked") << m5 << "" << 0 << 0L;
        QTest::newRow("digits") << m5 << "40001" << 0 << 40001L;
        QTest::newRow("short") << m5 << "12" << 0 << 12L;
        QTest::newRow("leading blanks") << m5 << "7" << 3 << 7L;
        QTest::newRow("blank in between") << m5 << "1 2" << 0 << 1L;
        QTest::newRow("blank mask char _") << "00000;_" << "1_2" << 0 << 1L;
        QTest::newRow("plain empty") << "" << "" << 0 << 0L;
        QTest::newRow("plain digits") << "" << "247" << 0 << 247L;
        QTest::newRow("plain leading blanks") << "" << "   9" << 0 << 9L;
        QTest::newRow("plain stops at other") << "" << "12-3" << 0 << 12L;
        QTest::newRow("plain sign") << "" << "-5" << 0 << 0L;
        QTest::newRow("plain huge") << "" << "99999999999999999999" << 0 << 999999999L;
    }
    void readDecimalField()
    {
        QFETCH(QString, mask);
        QFETCH(QString, typed);
        QFETCH(int, cursor);
        QFETCH(long, value);
        QLineEdit e;
        if (!mask.isEmpty())
            e.setInputMask(mask);
        e.setCursorPosition(cursor);
        QTest::keyClicks(&e, typed);  // as the operator types, blanks included
        QCOMPARE(read_decimal_field(&e), value);
    }
};

QTEST_MAIN(TestMessageBoxes)
#include "tst_message_boxes.moc"
