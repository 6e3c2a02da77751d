// The master write-value dialog, answered by a scripted operator.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "Modal.h"
#include "Notices.h"
#include "Set_Data.h"

class TestSetData : public QObject {
    Q_OBJECT
    QStringList boxes_;
    QStringList seen_;  // title|field|mode label as the dialog opened

private slots:
    void init()
    {
        boxes_.clear();
        seen_.clear();
        set_message_box_sink([this](const std::string &text, const std::string &caption) {
            boxes_ << QString::fromStdString(caption + "|" + text);
        });
    }
    void cleanup()
    {
        set_message_box_sink({});
        set_modal_runner({});
    }

    void ask_data()
    {
        QTest::addColumn<int>("function");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("valueIn");
        QTest::addColumn<QStringList>("actions");  // "text:..", "combo:n", "ok", "cancel"
        QTest::addColumn<QString>("opened");       // title|field|mode label
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("valueOut");
        QTest::addColumn<QStringList>("boxes");
        const QString hexErr = "Quillan|Hex. data error !!!!";
        const QString decErr = "Quillan|Decimal data error !!!!";
        QTest::newRow("coil 7 on to off") << 5 << 7 << 0 << 1 << QStringList{"combo:0", "ok"}
                                          << "Relay: 00007|On|" << 0 << 0 << QStringList{};
        QTest::newRow("coil off to on") << 5 << 1 << 1 << 0 << QStringList{"combo:1", "ok"} << "Relay: 00001|Off|"
                                        << 0 << 1 << QStringList{};
        QTest::newRow("decimal shows signed") << 6 << 12 << 0 << 0x8000 << QStringList{"ok"}
                                              << "Register: 40012|-32768|Decimal" << 0 << 0x8000 << QStringList{};
        QTest::newRow("hex shows four digits, ff") << 6 << 1 << 1 << 0x00AB << QStringList{"text:ff", "ok"}
                                                   << "Register: 40001|00AB|Hex." << 0 << 0xFF << QStringList{};
        QTest::newRow("hex blanks around") << 6 << 1 << 1 << 0 << QStringList{"text: ab ", "ok"}
                                           << "Register: 40001|0000|Hex." << 0 << 0xAB << QStringList{};
        QTest::newRow("hex 12G refused") << 6 << 1 << 1 << 0x00AB << QStringList{"text:12G", "ok", "cancel"}
                                         << "Register: 40001|00AB|Hex." << -1 << 0x00AB << QStringList{hexErr};
        QTest::newRow("hex empty refused") << 6 << 1 << 1 << 7 << QStringList{"text:", "ok", "cancel"}
                                           << "Register: 40001|0007|Hex." << -1 << 7 << QStringList{hexErr};
        QTest::newRow("hex refused then fixed") << 6 << 1 << 1 << 7 << QStringList{"text:x", "ok", "text:1F", "ok"}
                                                << "Register: 40001|0007|Hex." << 0 << 0x1F << QStringList{hexErr};
        QTest::newRow("decimal 70000 wraps") << 6 << 1 << 0 << 0 << QStringList{"text:70000", "ok"}
                                             << "Register: 40001|0|Decimal" << 0 << 4464 << QStringList{};
        QTest::newRow("decimal 12-3") << 6 << 1 << 0 << 0 << QStringList{"text:12-3", "ok"}
                                      << "Register: 40001|0|Decimal" << 0 << 12 << QStringList{};
        QTest::newRow("decimal 65535") << 6 << 1 << 0 << 0 << QStringList{"text:65535", "ok"}
                                       << "Register: 40001|0|Decimal" << 0 << 0xFFFF << QStringList{};
        QTest::newRow("decimal -1") << 6 << 1 << 0 << 0 << QStringList{"text:-1", "ok"} << "Register: 40001|0|Decimal"
                                    << 0 << 0xFFFF << QStringList{};
        QTest::newRow("decimal +7") << 6 << 1 << 0 << 0 << QStringList{"text:+7", "ok"} << "Register: 40001|0|Decimal"
                                    << 0 << 7 << QStringList{};
        QTest::newRow("decimal empty is 0") << 6 << 1 << 0 << 9 << QStringList{"text:", "ok"}
                                            << "Register: 40001|9|Decimal" << 0 << 0 << QStringList{};
        QTest::newRow("decimal 1a refused, 123 accepted")
            << 6 << 1 << 0 << 5 << QStringList{"text:1a", "ok", "text:123", "ok"} << "Register: 40001|5|Decimal" << 0
            << 123 << QStringList{decErr};
        QTest::newRow("decimal blank refused") << 6 << 1 << 0 << 5 << QStringList{"text: 5", "ok", "cancel"}
                                               << "Register: 40001|5|Decimal" << -1 << 5 << QStringList{decErr};
        QTest::newRow("cancel after error leaves the value")
            << 6 << 3 << 0 << 5 << QStringList{"text:1a", "ok", "cancel"} << "Register: 40003|5|Decimal" << -1 << 5
            << QStringList{decErr};
        QTest::newRow("cancel at once") << 6 << 9999 << 0 << 5 << QStringList{"text:77", "cancel"}
                                        << "Register: 49999|5|Decimal" << -1 << 5 << QStringList{};
    }
    void ask()
    {
        QFETCH(int, function);
        QFETCH(int, address);
        QFETCH(int, mode);
        QFETCH(int, valueIn);
        QFETCH(QStringList, actions);
        QFETCH(QString, opened);
        QFETCH(int, result);
        QFETCH(int, valueOut);
        QFETCH(QStringList, boxes);

        int runs = 0;
        set_modal_runner([&](QDialog *d) {
            ++runs;
            auto *title = d->findChild<QLabel *>("Label1");
            auto *modeLabel = d->findChild<QLabel *>("Label2");
            auto *edit = d->findChild<QLineEdit *>("Edit1");
            auto *combo = d->findChild<QComboBox *>("ComboBox1");
            const bool coil = edit->isHidden();
            // A coil shows only the pick-list, a register only the field.
            if (coil == combo->isHidden() || coil != modeLabel->isHidden())
                return -99;
            seen_ << title->text() + "|" + (coil ? combo->currentText() : edit->text()) + "|" +
                         (coil ? QString() : modeLabel->text());
            bool closed = false;
            QObject::connect(d, &QDialog::finished, d, [&closed] { closed = true; });
            for (const QString &a : actions) {
                if (closed)
                    return -98;  // the script goes on after the dialog closed
                if (a.startsWith("text:"))
                    edit->setText(a.mid(5));
                else if (a.startsWith("combo:"))
                    combo->setCurrentIndex(a.mid(6).toInt());
                else
                    d->findChild<QPushButton *>(a == "ok" ? "OKBtn" : "CancelBtn")->click();
            }
            QObject::disconnect(d, &QDialog::finished, d, nullptr);
            return closed ? d->result() : -97;
        });

        uint16_t value = uint16_t(valueIn);
        TSet_DataDlg *dlg = set_data_dialog();
        QCOMPARE(set_data_dialog(), dlg);  // one instance
        QCOMPARE(dlg->windowTitle(), QString("Set Data Value Dialog"));
        const int r = dlg->AskDataValue(uint16_t(function), uint16_t(address), uint16_t(mode), value);
        QCOMPARE(runs, 1);
        QCOMPARE(seen_, QStringList{opened});
        QCOMPARE(r, result);
        QCOMPARE(int(value), valueOut);
        QCOMPARE(boxes_, boxes);
    }

    // The field takes six characters in decimal mode, four in hexadecimal.
    void fieldLength()
    {
        int decimal = 0, hex = 0;
        set_modal_runner([&](QDialog *d) {
            auto *edit = d->findChild<QLineEdit *>("Edit1");
            (hex == 0 && decimal == 0 ? decimal : hex) = edit->maxLength();
            return int(QDialog::Rejected);
        });
        uint16_t v = 0;
        set_data_dialog()->AskDataValue(6, 1, 0, v);
        set_data_dialog()->AskDataValue(6, 1, 1, v);
        QCOMPARE(decimal, 6);
        QCOMPARE(hex, 4);
    }
};

QTEST_MAIN(TestSetData)
#include "tst_set_data.moc"
