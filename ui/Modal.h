// Every modal dialog of the program is run through run_modal(). The program
// runs it with exec(); tests install a runner that works the dialog's controls
// and returns its result without a user.
#pragma once

#include <functional>

class QDialog;

using ModalRunner = std::function<int(QDialog *dialog)>;
void set_modal_runner(ModalRunner runner);  // empty: QDialog::exec()
int run_modal(QDialog *dialog);
