#include "control_label.h"

#include <QMouseEvent>

namespace wexmon {

ControlLabel::ControlLabel(QWidget* parent, bool autoSize) : QLabel(parent), autoSize_(autoSize) {
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setFocusPolicy(Qt::NoFocus);
  setTextFormat(Qt::PlainText);
  // A fixed-size label breaks a long caption into lines inside its rectangle
  // and clips what does not fit.
  setWordWrap(!autoSize);
}

void ControlLabel::SetCaption(const QString& caption) {
  setText(caption);
  if (autoSize_) adjustSize();
}

void ControlLabel::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) emit doubleClicked();
  QLabel::mouseDoubleClickEvent(event);
}

}  // namespace wexmon
