// The slave value dialog: labels, Off/On, decimal and hexadecimal entry, and
// the refused OK that keeps the dialog open.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "Modal.h"
#include "Notices.h"
#include "Set_Value.h"

namespace {

struct Boxes {
    QStringList texts;
    Boxes()
    {
        set_message_box_sink([this](const std::string &text, const std::string &caption) {
            texts << QString::fromStdString(caption + ": " + text);
        });
    }
    ~Boxes() { set_message_box_sink(nullptr); }
};

}  // namespace

class TestSetValue : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { set_modal_runner(nullptr); }

    void labels_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("label");
        QTest::newRow("coil 0") << 1 << 0 << "Output Coil: 00001";
        QTest::newRow("coil 1023") << 1 << 1023 << "Output Coil: 01024";
        QTest::newRow("relay 5") << 2 << 5 << "Input Relay: 10006";
        QTest::newRow("holding 0") << 3 << 0 << "Holding Register: 40001";
        QTest::newRow("holding 1023") << 3 << 1023 << "Holding Register: 41024";
        QTest::newRow("input 1023") << 4 << 1023 << "Input Register: 31024";
    }
    void labels()
    {
        QFETCH(int, kind);
        QFETCH(int, index);
        QFETCH(QString, label);
        TSet_ValueDlg dlg;
        QString seen;
        bool comboShown = false, editShown = false;
        set_modal_runner([&](QDialog *) {
            seen = dlg.Label1->text();
            comboShown = !dlg.ComboBox1->isHidden();
            editShown = !dlg.Edit1->isHidden() && !dlg.Label2->isHidden();
            return int(QDialog::Rejected);
        });
        uint16_t value = 1;
        QCOMPARE(dlg.EditTableValue(int16_t(kind), uint16_t(index), 0, value), -1);
        QCOMPARE(value, uint16_t(1));
        QCOMPARE(seen, label);
        QCOMPARE(comboShown, kind <= 2);
        QCOMPARE(editShown, kind >= 3);
        QCOMPARE(dlg.windowTitle(), QString("Set Relay/Register Value"));
    }

    void bits_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("shown");
        QTest::addColumn<int>("choose");
        QTest::addColumn<int>("result");
        QTest::newRow("off to on") << 0 << 0 << 1 << 1;
        QTest::newRow("on to off") << 1 << 1 << 0 << 0;
        QTest::newRow("no item is on") << 0 << 0 << -1 << 1;
    }
    void bits()
    {
        QFETCH(int, value);
        QFETCH(int, shown);
        QFETCH(int, choose);
        QFETCH(int, result);
        TSet_ValueDlg dlg;
        int seen = -2;
        set_modal_runner([&](QDialog *) {
            seen = dlg.ComboBox1->currentIndex();
            dlg.ComboBox1->setCurrentIndex(choose);
            dlg.OKBtn->click();
            return dlg.result();
        });
        uint16_t v = uint16_t(value);
        QCOMPARE(dlg.EditTableValue(1, 0, 0, v), 0);
        QCOMPARE(seen, shown);
        QCOMPARE(int(v), result);
    }

    // Enter in the editable part of the Off/On choice never adds what was
    // typed: the shared dialog offers exactly Off and On the next time too.
    void enterAddsNoItem_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("new text") << "Maybe";
        QTest::newRow("an item in other case") << "on";
        QTest::newRow("an item") << "On";
    }
    void enterAddsNoItem()
    {
        QFETCH(QString, typed);
        TSet_ValueDlg dlg;
        auto items = [&] {
            QStringList l;
            for (int i = 0; i < dlg.ComboBox1->count(); ++i)
                l << dlg.ComboBox1->itemText(i);
            return l;
        };
        for (int round = 0; round < 2; ++round) {
            QStringList offered;
            set_modal_runner([&](QDialog *) {
                dlg.show();
                offered = items();
                dlg.ComboBox1->setEditText(typed);
                QTest::keyClick(dlg.ComboBox1->lineEdit(), Qt::Key_Return);
                if (dlg.isVisible())
                    dlg.OKBtn->click();
                return dlg.result();
            });
            uint16_t v = 0;
            QCOMPARE(dlg.EditTableValue(1, 0, 0, v), 0);
            QCOMPARE(offered, (QStringList{"Off", "On"}));
            QCOMPARE(items(), (QStringList{"Off", "On"}));
        }
    }

    void registerEntry_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("result");  // -1: refused, the dialog stays open
        QTest::addColumn<QString>("box");
        QTest::newRow("dec 123") << 0 << "123" << 123 << "";
        QTest::newRow("dec 65535") << 0 << "65535" << 0xFFFF << "";
        QTest::newRow("dec -1") << 0 << "-1" << 0xFFFF << "";
        QTest::newRow("dec 70000") << 0 << "70000" << 4464 << "";
        QTest::newRow("dec 40000") << 0 << "40000" << 0x9C40 << "";
        QTest::newRow("dec empty") << 0 << "" << 0 << "";
        QTest::newRow("dec 1-2") << 0 << "1-2" << 1 << "";
        QTest::newRow("dec +5") << 0 << "+5" << 5 << "";
        QTest::newRow("dec 12a") << 0 << "12a" << -1 << "Quillan: Decimal data error !!!!";
        QTest::newRow("dec blank") << 0 << " 1" << -1 << "Quillan: Decimal data error !!!!";
        QTest::newRow("hex 1a") << 1 << "1a" << 0x1A << "";
        QTest::newRow("hex FFFF") << 1 << "FFFF" << 0xFFFF << "";
        QTest::newRow("hex G1") << 1 << "G1" << -1 << "Quillan: Hex. data error !!!!";
        QTest::newRow("hex empty") << 1 << "" << -1 << "Quillan: Hex. data error !!!!";
    }
    void registerEntry()
    {
        QFETCH(int, mode);
        QFETCH(QString, text);
        QFETCH(int, result);
        QFETCH(QString, box);
        Boxes boxes;
        TSet_ValueDlg dlg;
        bool stayedOpen = false;
        set_modal_runner([&](QDialog *) {
            dlg.Edit1->setText(text);
            dlg.OKBtn->click();
            if (dlg.result() == QDialog::Accepted)
                return dlg.result();
            stayedOpen = true;
            // The operator corrects the entry and presses OK again.
            dlg.Edit1->setText(mode ? "7B" : "123");
            dlg.OKBtn->click();
            return dlg.result();
        });
        uint16_t v = 0x5555;
        QCOMPARE(dlg.EditTableValue(3, 0, uint16_t(mode), v), 0);
        QCOMPARE(stayedOpen, result < 0);
        QCOMPARE(int(v), result < 0 ? 123 : result);
        QCOMPARE(boxes.texts, box.isEmpty() ? QStringList() : QStringList{box});
    }

    void initialText_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("base");
        QTest::addColumn<int>("limit");
        QTest::newRow("dec FFFF") << 0 << 0xFFFF << "-1" << "Decimal" << 6;
        QTest::newRow("dec 8000") << 0 << 0x8000 << "-32768" << "Decimal" << 6;
        QTest::newRow("hex FFFF") << 1 << 0xFFFF << "FFFF" << "Hex." << 4;
        QTest::newRow("hex 1A") << 1 << 0x1A << "001A" << "Hex." << 4;
    }
    void initialText()
    {
        QFETCH(int, mode);
        QFETCH(int, value);
        QFETCH(QString, text);
        QFETCH(QString, base);
        QFETCH(int, limit);
        TSet_ValueDlg dlg;
        QString shown, shownBase;
        int shownLimit = 0;
        set_modal_runner([&](QDialog *) {
            shown = dlg.Edit1->text();
            shownBase = dlg.Label2->text();
            shownLimit = dlg.Edit1->maxLength();
            return int(QDialog::Rejected);
        });
        uint16_t v = uint16_t(value);
        QCOMPARE(dlg.EditTableValue(4, 3, uint16_t(mode), v), -1);
        QCOMPARE(shown, text);
        QCOMPARE(shownBase, base);
        QCOMPARE(shownLimit, limit);
    }

    // Leaving after a refused entry: -1, the value untouched.
    void leaveAfterRefusal_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Esc") << true;
        QTest::newRow("Cancel") << false;
    }
    void leaveAfterRefusal()
    {
        QFETCH(bool, escape);
        Boxes boxes;
        TSet_ValueDlg dlg;
        set_modal_runner([&](QDialog *) {
            dlg.Edit1->setText("12a");
            dlg.OKBtn->click();
            if (escape)
                dlg.reject();
            else
                dlg.CancelBtn->click();
            return dlg.result();
        });
        uint16_t v = 42;
        QCOMPARE(dlg.EditTableValue(3, 0, 0, v), -1);
        QCOMPARE(v, uint16_t(42));
        QCOMPARE(boxes.texts.size(), 1);
    }
};

QTEST_MAIN(TestSetValue)
#include "tst_set_value.moc"
