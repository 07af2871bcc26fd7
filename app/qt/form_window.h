// A top-level window built from a definition; reports its closing.
#pragma once

#include <QWidget>
#include <functional>

namespace wexmon {

class FormWindow : public QWidget {
  Q_OBJECT
 public:
  FormWindow() = default;
  // Runs when the window is closed by its close button or close(); the window
  // is then hidden, not destroyed.
  void SetCloseHandler(std::function<void()> handler) { onClose_ = std::move(handler); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  std::function<void()> onClose_;
};

}  // namespace wexmon
