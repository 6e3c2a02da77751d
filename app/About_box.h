// The About box: product name, version and the program's picture.
#pragma once

#include <QDialog>
#include <QPixmap>

class QLabel;
class QPushButton;

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget *parent = nullptr);
    ~TAboutBox() override;

    // The picture shown in the box, drawn at the given size.
    static QPixmap drawPicture(int size);

private:
    QLabel *ProgramIcon = nullptr;
    QLabel *ProductName = nullptr;
    QLabel *Version = nullptr;
    QPushButton *OKButton = nullptr;
};

extern TAboutBox *AboutBox;
