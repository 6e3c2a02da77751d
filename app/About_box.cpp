#include "About_box.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

TAboutBox *AboutBox = nullptr;

TAboutBox::TAboutBox(QWidget *parent) : QDialog(parent)
{
    setObjectName("AboutBox");
    setWindowTitle("About");
    setWindowFlags(windowFlags() | Qt::MSWindowsFixedSizeDialogHint);

    auto *panel = new QFrame(this);
    panel->setObjectName("Panel1");
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);

    ProgramIcon = new QLabel(panel);
    ProgramIcon->setObjectName("ProgramIcon");
    ProgramIcon->setPixmap(drawPicture(64));
    ProgramIcon->setFixedSize(64, 64);

    ProductName = new QLabel("Tarrowind", panel);
    ProductName->setObjectName("ProductName");
    QFont big = ProductName->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    ProductName->setFont(big);

    Version = new QLabel("Version 1.0", panel);
    Version->setObjectName("Version");

    auto *texts = new QVBoxLayout;
    texts->addStretch();
    texts->addWidget(ProductName);
    texts->addWidget(Version);
    texts->addStretch();
    auto *inPanel = new QHBoxLayout(panel);
    inPanel->setContentsMargins(12, 12, 24, 12);
    inPanel->setSpacing(16);
    inPanel->addWidget(ProgramIcon);
    inPanel->addLayout(texts);

    OKButton = new QPushButton("OK", this);
    OKButton->setObjectName("OKButton");
    OKButton->setDefault(true);
    OKButton->setAutoDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKButton);
    buttons->addStretch();

    auto *all = new QVBoxLayout(this);
    all->addWidget(panel);
    all->addLayout(buttons);
    // A fixed dialog: the layout decides the size and the operator cannot change it.
    all->setSizeConstraint(QLayout::SetFixedSize);
}

TAboutBox::~TAboutBox()
{
    if (AboutBox == this)
        AboutBox = nullptr;
}

// Two stations joined by a line carrying a frame of bits, on a dusk-blue tile.
QPixmap TAboutBox::drawPicture(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    QLinearGradient sky(0, 0, 0, 64);
    sky.setColorAt(0, QColor(0x2b, 0x4c, 0x7e));
    sky.setColorAt(1, QColor(0x10, 0x1e, 0x36));
    p.setPen(QPen(QColor(0x0a, 0x12, 0x22), 1.5));
    p.setBrush(sky);
    p.drawRoundedRect(QRectF(1, 1, 62, 62), 9, 9);

    // the two stations
    auto station = [&](qreal x, QColor screen) {
        p.setPen(QPen(QColor(0xd8, 0xdc, 0xe4), 1.2));
        p.setBrush(QColor(0x3a, 0x3f, 0x4a));
        p.drawRoundedRect(QRectF(x, 12, 16, 13), 2, 2);
        p.setPen(Qt::NoPen);
        p.setBrush(screen);
        p.drawRect(QRectF(x + 2.5, 14.5, 11, 8));
        p.setBrush(QColor(0xd8, 0xdc, 0xe4));
        p.drawRect(QRectF(x + 5, 25, 6, 2));
        p.drawRect(QRectF(x + 2, 27, 12, 1.5));
    };
    station(7, QColor(0x7f, 0xd6, 0x8b));
    station(41, QColor(0xff, 0xc8, 0x57));

    // the line between them, with a square-wave frame travelling on it
    QPainterPath wire;
    wire.moveTo(15, 29);
    wire.lineTo(15, 44);
    wire.lineTo(20, 44);
    const qreal bits[] = {1, 0, 1, 1, 0, 1, 0, 0};
    qreal x = 20, level = 44;
    for (qreal b : bits) {
        qreal y = b ? 38 : 44;
        if (y != level) {
            wire.lineTo(x, y);
            level = y;
        }
        x += 3;
        wire.lineTo(x, level);
    }
    wire.lineTo(x, 44);
    wire.lineTo(49, 44);
    wire.lineTo(49, 29);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x9f, 0xe8, 0xff), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(wire);

    // a check mark under the frame: the answer came back sound
    p.setPen(QPen(QColor(0x7f, 0xd6, 0x8b), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(27, 52);
    tick.lineTo(31, 56);
    tick.lineTo(38, 48);
    p.drawPath(tick);
    return pm;
}
