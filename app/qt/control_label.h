// A label that reports double-clicks and, when auto-size, takes the size of its
// caption on one line.
#pragma once

#include <QLabel>

namespace wexmon {

class ControlLabel : public QLabel {
  Q_OBJECT
 public:
  ControlLabel(QWidget* parent, bool autoSize);

  void SetCaption(const QString& caption);
  bool AutoSize() const { return autoSize_; }

 signals:
  void doubleClicked();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  bool autoSize_;
};

}  // namespace wexmon
