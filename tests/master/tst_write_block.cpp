// The block-write dialog, answered by a scripted operator.
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include "Modal.h"
#include "Notices.h"
#include "Write_Block.h"

class TestWriteBlock : public QObject {
    Q_OBJECT
    QStringList boxes_;

private slots:
    void init()
    {
        boxes_.clear();
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
        QTest::addColumn<bool>("coils");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("startIn");
        // "text:..", "start:n", "ok", "cancel", "esc", "kept:.." (the editor still holds ..)
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QString>("kind");  // the label as the dialog opened
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("startOut");
        QTest::addColumn<QString>("values");
        QTest::addColumn<QStringList>("boxes");
        const int sig = int(ValueFormat::Signed);
        const QString regs = "Holding registers, Signed, at most 123 registers";
        QTest::newRow("registers") << false << sig << 5 << QStringList{"text:1\n-1", "ok"} << regs << 0 << 5
                                   << "0001 FFFF" << QStringList{};
        QTest::newRow("floats at a new start")
            << false << int(ValueFormat::FloatCDAB) << 1 << QStringList{"text:1.5", "start:300", "ok"}
            << "Holding registers, Float CDAB, at most 123 registers" << 0 << 300 << "0000 3FC0" << QStringList{};
        QTest::newRow("coils") << true << sig << 10 << QStringList{"text:1,0,1", "ok"}
                               << "Output coils, 0 or 1, at most 1968" << 0 << 10 << "1 0 1" << QStringList{};
        QTest::newRow("bad line kept, then fixed")
            << false << sig << 1 << QStringList{"text:1\n12x", "ok", "kept:1\n12x", "text:1\n12", "ok"} << regs << 0
            << 1 << "0001 000C" << QStringList{"Quillan|line 2: \"12x\": not a number"};
        QTest::newRow("bad, then cancel sends nothing")
            << true << sig << 7 << QStringList{"text:1\n1\n5", "ok", "cancel"} << "Output coils, 0 or 1, at most 1968"
            << -1 << 7 << "" << QStringList{"Quillan|line 3: \"5\": a coil takes 0 or 1"};
        QTest::newRow("nothing typed") << false << sig << 1 << QStringList{"text:", "ok", "esc"} << regs << -1 << 1
                                       << "" << QStringList{"Quillan|no values"};
        QTest::newRow("Esc cancels") << false << sig << 3 << QStringList{"text:1", "esc"} << regs << -1 << 3 << ""
                                     << QStringList{};
        QTest::newRow("start 0 offered as 1") << false << sig << 0 << QStringList{"text:1", "ok"} << regs << 0 << 1
                                              << "0001" << QStringList{};
        QTest::newRow("start 10000 offered as 9999") << false << sig << 10000 << QStringList{"text:1", "ok"} << regs
                                                     << 0 << 9999 << "0001" << QStringList{};
    }
    void ask()
    {
        QFETCH(bool, coils);
        QFETCH(int, format);
        QFETCH(int, startIn);
        QFETCH(QStringList, actions);
        QFETCH(QString, kind);
        QFETCH(int, result);
        QFETCH(int, startOut);
        QFETCH(QString, values);
        QFETCH(QStringList, boxes);

        QString seenKind;
        set_modal_runner([&](QDialog *d) {
            seenKind = d->findChild<QLabel *>("KindLabel")->text();
            auto *edit = d->findChild<QPlainTextEdit *>("Values");
            bool closed = false;
            QObject::connect(d, &QDialog::finished, d, [&closed] { closed = true; });
            for (const QString &a : actions) {
                if (closed)
                    return -98;  // the script goes on after the dialog closed
                if (a.startsWith("text:"))
                    edit->setPlainText(a.mid(5));
                else if (a.startsWith("kept:") && edit->toPlainText() != a.mid(5))
                    return -96;
                else if (a.startsWith("start:"))
                    d->findChild<QSpinBox *>("StartAddress")->setValue(a.mid(6).toInt());
                else if (a == "esc")
                    QTest::keyClick(edit, Qt::Key_Escape);
                else if (a == "ok" || a == "cancel")
                    d->findChild<QPushButton *>(a == "ok" ? "OKBtn" : "CancelBtn")->click();
            }
            QObject::disconnect(d, &QDialog::finished, d, nullptr);
            return closed ? d->result() : -97;
        });

        uint16_t start = uint16_t(startIn);
        BlockValues out;
        const int r = write_block_dialog()->AskBlock(coils, ValueFormat(format), start, out);
        QCOMPARE(seenKind, kind);
        QCOMPARE(r, result);
        QCOMPARE(int(start), r == 0 ? startOut : startIn);
        QStringList got;
        for (uint16_t w : out.words)
            got << QString::asprintf("%04X", w);
        for (uint8_t b : out.bits)
            got << QString::number(b);
        QCOMPARE(got.join(' '), values);
        QCOMPARE(boxes_, boxes);
    }
};

QTEST_MAIN(TestWriteBlock)
#include "tst_write_block.moc"
