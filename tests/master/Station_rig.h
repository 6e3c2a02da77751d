// Helpers for driving a master station window in tests: recorded boxes and
// notices, a scripted write-value dialog, and ticking the receive timer on a
// fake clock.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "Gui_services.h"
#include "Modal.h"
#include "Notices.h"

struct Recorder {
    QStringList boxes;     // "caption|text"
    QStringList statuses;  // message line texts
    QList<int> closed;     // station kinds that reported closing
    // Called as each box opens, e.g. to look at the station at that moment.
    std::function<void(const QString &)> onBox;

    Recorder()
    {
        set_message_box_sink([this](const std::string &text, const std::string &caption) {
            const QString box = QString::fromStdString(caption + "|" + text);
            boxes << box;
            if (onBox)
                onBox(box);
        });
        set_status_sink([this](const std::string &text) { statuses << QString::fromStdString(text); });
        set_station_closed_sink([this](int kind) { closed << kind; });
    }
    ~Recorder()
    {
        set_message_box_sink({});
        set_status_sink({});
        set_station_closed_sink({});
        set_modal_runner({});
    }
};

template <class T> T *child(QObject *form, const char *name)
{
    T *c = form->findChild<T *>(name);
    if (!c)
        qFatal("no child %s", name);
    return c;
}

inline QPushButton *button(QObject *form, const char *name) { return child<QPushButton>(form, name); }
inline Memo *memo(QObject *form, const char *name) { return child<Memo>(form, name); }
inline StringGrid *grid(QObject *form) { return child<StringGrid>(form, "StringGrid1"); }

inline void invoke(QObject *form, const char *slot)
{
    if (!QMetaObject::invokeMethod(form, slot))
        qFatal("no slot %s", slot);
}

// Fills the request fields.
inline void setRequest(QObject *form, int kind, int device, int start, int count)
{
    child<QComboBox>(form, "ComboBox1")->setCurrentIndex(kind);
    child<QLineEdit>(form, "MaskEdit1")->setText(QString::number(device));
    child<QLineEdit>(form, "MaskEdit2")->setText(QString::number(start));
    child<QLineEdit>(form, "MaskEdit3")->setText(QString::number(count));
}

// Types into a request field from its first place, as the operator does; a
// "_" leaves the place blank (as deleting a digit in the middle does).
inline void typeField(QObject *form, const char *name, const QString &typed)
{
    auto *field = child<QLineEdit>(form, name);
    field->clear();
    field->setCursorPosition(0);
    QTest::keyClicks(field, typed);
}

// Row r of the grid as "c0|c1|...".
inline QString gridRow(StringGrid *g, int r)
{
    QStringList cells;
    for (int c = 0; c < g->colCount(); ++c)
        cells << g->cellText(c, r);
    return cells.join('|');
}

inline QByteArray hexBytes(const char *text) { return QByteArray::fromHex(text); }

// What the scripted write-value dialog saw as it opened.
struct DialogSeen {
    int runs = 0;
    QString title, field, mode;
};

// Answers the write-value dialog: a coil with the given item, a register with
// the given text; an empty answer cancels.
inline void answerDialog(DialogSeen &seen, const QString &answer)
{
    set_modal_runner([&seen, answer](QDialog *d) {
        ++seen.runs;
        auto *edit = d->findChild<QLineEdit *>("Edit1");
        auto *combo = d->findChild<QComboBox *>("ComboBox1");
        const bool coil = edit->isHidden();
        seen.title = d->findChild<QLabel *>("Label1")->text();
        seen.field = coil ? combo->currentText() : edit->text();
        seen.mode = coil ? QString() : d->findChild<QLabel *>("Label2")->text();
        if (answer.isEmpty()) {
            d->findChild<QPushButton *>("CancelBtn")->click();
        } else {
            if (coil)
                combo->setCurrentText(answer);
            else
                edit->setText(answer);
            d->findChild<QPushButton *>("OKBtn")->click();
        }
        return d->result();
    });
}
