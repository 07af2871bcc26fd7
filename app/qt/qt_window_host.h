// The windows in Qt Widgets, built from the definition tables: a top-level
// widget per window with a fixed client size, group boxes for frames, labels
// and push buttons at their exact pixel places, a QTimer per periodic timer.
#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "form_window.h"
#include "window_defs.h"
#include "window_host.h"

class QPushButton;
class QTimer;

namespace wexmon {

class ControlLabel;

QColor ToQColor(ColorRef color);
ColorRef ToColorRef(const QColor& color);

class QtWindowHost final : public QObject, public WindowHost {
  Q_OBJECT
 public:
  QtWindowHost();
  ~QtWindowHost() override;

  // WindowHost
  void SetCaption(WindowId window, std::string_view control, int index,
                  std::string_view text) override;
  ColorRef ForeColor(WindowId window, std::string_view control, int index) override;
  void SetForeColor(WindowId window, std::string_view control, int index, ColorRef color) override;
  void SetTimerEnabled(WindowId window, std::string_view timer, bool enabled) override;
  void LoadWindow(WindowId window) override;
  void ShowWindow(WindowId window) override;
  void HideWindow(WindowId window) override;
  void EndProgram() override;

  // nullptr until the window has been created.
  FormWindow* Window(WindowId window) const;
  QWidget* Control(WindowId window, std::string_view name, int index = kNoIndex) const;
  ControlLabel* Label(WindowId window, std::string_view name, int index = kNoIndex) const;
  QPushButton* Button(WindowId window, std::string_view name) const;
  QTimer* Timer(WindowId window, std::string_view name) const;
  QString Caption(WindowId window, std::string_view name, int index = kNoIndex) const;

  bool Ended() const { return ended_; }

 signals:
  // A window was created from its definition; its controls can be connected.
  void windowCreated(wexmon::WindowId window);
  // EndProgram ran; the event loop has been told to exit.
  void programEnded();

 private:
  using Key = std::tuple<WindowId, std::string, int>;

  FormWindow& Ensure(WindowId window);
  void Build(const WindowDef& definition);
  void PlaceOnScreen(const WindowDef& definition, FormWindow& window) const;

  std::map<WindowId, std::unique_ptr<FormWindow>> windows_;
  std::map<Key, QWidget*> controls_;
  std::map<Key, QTimer*> timers_;
  bool ended_ = false;
};

}  // namespace wexmon
