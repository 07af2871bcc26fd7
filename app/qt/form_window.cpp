#include "form_window.h"

#include <QCloseEvent>

namespace wexmon {

void FormWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (onClose_) onClose_();
}

}  // namespace wexmon
