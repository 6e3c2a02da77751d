// The parts of the scan for devices alike on every master station: the
// dialog, pausing polling, and what the scan's frames leave in the memos
// and the traffic history.
#include "Master_window.h"

#include "Modal.h"

void MasterWindow::ScanUnitsClick()
{
    if (!scanDlg_)
        scanDlg_ = new TScan_Dlg(*this, this);
    run_modal(scanDlg_);
}

std::string MasterWindow::scanBegin(std::function<void(const uint8_t *, size_t)> bytes, std::function<void()> lost)
{
    if (!linkOpen())
        return notOpenText();
    scanning_ = true;
    scanBytes_ = std::move(bytes);
    scanLost_ = std::move(lost);
    PollTimer->stop();
    // One exchange at a time: the one in flight is given up; its answer,
    // should it still come, is late to the scan and dropped there.
    scanTake();
    if (session_.scheduler().busy())
        session_.ended(now());
    traffic_.event("scan started");
    return {};
}

void MasterWindow::scanEnd()
{
    if (!scanning_)
        return;
    scanGive();
    scanning_ = false;
    scanBytes_ = nullptr;
    scanLost_ = nullptr;
    traffic_.event("scan ended");
    showStats();
    kick();  // polling goes on
}

void MasterWindow::scanReceived(const uint8_t *data, size_t n)
{
    if (!scanBytes_ || n == 0)
        return;
    const auto take = scanBytes_;  // the scan may end within, letting go of it
    take(data, n);
}

void MasterWindow::scanUse(int unit, const Scan_setting *line)
{
    MaskEdit1->setText(QString::number(unit));
    if (line)
        scanUseLine(*line);
}

void MasterWindow::answer(const uint8_t *bytes, size_t n) { traffic_.rx(bytes, n); }

void MasterWindow::dropped(const uint8_t *bytes, size_t n, bool late)
{
    if (!late) {
        traffic_.dropped(bytes, n, Traffic_drop::Discarded);
        return;
    }
    // As polling drops a late answer.
    if (traffic_.history().framing() == Traffic_framing::Ascii) {
        std::string text(reinterpret_cast<const char *>(bytes), n);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        Memo2->add("Late answer dropped: " + text);
    } else {
        Memo2->add(hex_line("Late answer dropped: ", bytes, int32_t(n)));
    }
    traffic_.dropped(bytes, n, Traffic_drop::Late);
}
