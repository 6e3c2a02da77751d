#include "Modal.h"

#include <QDialog>

namespace {
ModalRunner g_runner;
}

void set_modal_runner(ModalRunner runner) { g_runner = std::move(runner); }

int run_modal(QDialog *dialog)
{
    if (g_runner) {
        dialog->setResult(QDialog::Rejected);
        return g_runner(dialog);
    }
    return dialog->exec();
}
