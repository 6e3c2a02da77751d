// The part of a master station window that the RTU, ASCII and TCP stations
// share: header panel, request fields, "Send command" and "Set data value",
// the two traffic memos and the data grid, with the field checks and the
// "Set data value" flow. Each station adds its port or connection controls
// and its own transport.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include <memory>

#include "Gui_services.h"
#include "Master_station.h"
#include "Station_traffic.h"
#include "Traffic_panel.h"

class QHBoxLayout;

class MasterWindow : public QWidget {
    Q_OBJECT
public slots:
    virtual void FormClose() = 0;
    void BitBtn1Click();  // "Send command"
    // "Set data value"; a double click on the grid does the same while the
    // button is enabled.
    void BitBtn2Click();
    void StringGrid1DblClick();

protected:
    // countPlaces: digit places of the count field; framing: the station's,
    // for its traffic history.
    MasterWindow(const QString &caption, const QString &header, CountLimits limits, int countPlaces,
                 Traffic_framing framing, QWidget *parent);

    // The row under the header where the station puts its port controls.
    QHBoxLayout *portRow() const { return portRow_; }

    // Reads and checks the request fields; on success stores them and lays
    // the grid out (0), else -1 with nothing changed.
    int CheckRequestFields();
    // A request goes out: grid hint off, "Set data value" disabled.
    void beginRequest();
    // An answer was handled: offer "Set data value" for the writable kinds
    // and select the first value cell.
    void offerGrid(bool focusGrid);
    // Builds and sends the write request for write_ (function 5 or 6).
    void sendWrite();

    // What differs per transport.
    virtual bool linkOpen() const = 0;       // the port or connection is open
    virtual const char *notOpenText() const = 0;
    virtual const char *prepareErrorText() const { return "Prepare Modbus Query Message error !!!"; }
    // Clears the request buffer and length and frames the request into them:
    // 0 built, -1 refused.
    virtual int32_t prepareQuery(uint32_t function, uint16_t address, uint16_t count, uint16_t value) = 0;
    // Logs the built request in Memo1 and sends it.
    virtual void SendQuery() = 0;
    // Reads one request field as a number: digits up to the first other
    // character, a blank included. The RTU station reads past the blanks.
    virtual long readRequestField(const QLineEdit *field) const { return read_decimal_field(field); }

    void closeEvent(QCloseEvent *event) override;

    QLabel *Panel1;
    QComboBox *ComboBox1;
    QLineEdit *MaskEdit1, *MaskEdit2, *MaskEdit3;
    QPushButton *BitBtn1, *BitBtn2;
    Memo *Memo1, *Memo2;
    StringGrid *StringGrid1;

    MasterRequest request_;
    MasterWrite write_;
    // Declared before its panel, which goes first (the history must outlive
    // the panel, and the window's widgets are destroyed only after its
    // members).
    Station_traffic traffic_;
    std::unique_ptr<TrafficPanel> trafficPanel_;

private:
    CountLimits limits_;
    QHBoxLayout *portRow_;
    bool closed_ = false;
};

// A labelled control in a row.
void add_labelled(QHBoxLayout *row, const QString &label, QWidget *control);
// A masked numeric field with the given digit places and initial text.
QLineEdit *make_number_field(QWidget *parent, const char *name, int places, const QString &initial);
