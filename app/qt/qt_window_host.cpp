#include "qt_window_host.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "control_label.h"
#include "twips.h"

namespace wexmon {
namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QRect PixelRect(int left, int top, int width, int height) {
  return {TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height)};
}

QFont MakeFont(const FontDef& def) {
  QFont font(FromUtf8(def.face));
  font.setPointSize(def.points);
  font.setWeight(static_cast<QFont::Weight>(def.weight));
  font.setItalic(def.italic);
  font.setUnderline(def.underline);
  font.setStrikeOut(def.strikeOut);
  // The character set (134, GB2312) needs no setting: Qt picks faces by the
  // script of the text itself.
  return font;
}

// A push button that Enter presses as well as Space when it holds the focus,
// as on Windows forms.
class FormButton final : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        event->modifiers() == Qt::NoModifier) {
      if (!event->isAutoRepeat()) click();
      event->accept();
      return;
    }
    QPushButton::keyPressEvent(event);
  }
};

[[noreturn]] void NoSuchControl(std::string_view name, int index) {
  throw std::logic_error("no control " + std::string(name) + "(" + std::to_string(index) + ")");
}

}  // namespace

QColor ToQColor(ColorRef color) { return {RedOf(color), GreenOf(color), BlueOf(color)}; }

ColorRef ToColorRef(const QColor& color) {
  return MakeColorRef(color.red(), color.green(), color.blue());
}

QtWindowHost::QtWindowHost() = default;

QtWindowHost::~QtWindowHost() = default;

FormWindow* QtWindowHost::Window(WindowId window) const {
  auto found = windows_.find(window);
  return found == windows_.end() ? nullptr : found->second.get();
}

QWidget* QtWindowHost::Control(WindowId window, std::string_view name, int index) const {
  auto found = controls_.find(Key{window, std::string(name), index});
  return found == controls_.end() ? nullptr : found->second;
}

ControlLabel* QtWindowHost::Label(WindowId window, std::string_view name, int index) const {
  return qobject_cast<ControlLabel*>(Control(window, name, index));
}

QPushButton* QtWindowHost::Button(WindowId window, std::string_view name) const {
  return qobject_cast<QPushButton*>(Control(window, name, kNoIndex));
}

QTimer* QtWindowHost::Timer(WindowId window, std::string_view name) const {
  auto found = timers_.find(Key{window, std::string(name), kNoIndex});
  return found == timers_.end() ? nullptr : found->second;
}

QString QtWindowHost::Caption(WindowId window, std::string_view name, int index) const {
  QWidget* widget = Control(window, name, index);
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
  if (auto* frame = qobject_cast<QGroupBox*>(widget)) return frame->title();
  return {};
}

FormWindow& QtWindowHost::Ensure(WindowId window) {
  if (FormWindow* existing = Window(window)) return *existing;
  Build(WindowDefinition(window));
  FormWindow& created = *Window(window);
  emit windowCreated(window);
  return created;
}

void QtWindowHost::Build(const WindowDef& definition) {
  auto window = std::make_unique<FormWindow>();
  window->setObjectName(FromUtf8(definition.name));
  window->setWindowTitle(FromUtf8(definition.caption));
  window->setFixedSize(TwipsToPixels(definition.clientWidth),
                       TwipsToPixels(definition.clientHeight));

  std::vector<std::pair<int, QWidget*>> focusOrder;
  for (const ControlDef& def : definition.controls) {
    const Key key{definition.id, std::string(def.name), def.index};
    if (def.kind == ControlKind::Timer) {
      auto* timer = new QTimer(window.get());
      timer->setTimerType(Qt::PreciseTimer);
      timer->setInterval(def.intervalMs);
      if (def.enabled) timer->start();
      timers_[key] = timer;
      continue;
    }

    QWidget* parent = window.get();
    if (!def.parent.empty()) {
      parent = Control(definition.id, def.parent, def.parentIndex);
      if (parent == nullptr) NoSuchControl(def.parent, def.parentIndex);
    }
    const QString caption = FromUtf8(def.caption);
    QWidget* widget = nullptr;
    switch (def.kind) {
      case ControlKind::Frame: {
        auto* frame = new QGroupBox(caption, parent);
        frame->setFocusPolicy(Qt::NoFocus);
        widget = frame;
        break;
      }
      case ControlKind::Label: {
        auto* label = new ControlLabel(parent, def.autoSize);
        widget = label;
        break;
      }
      case ControlKind::Button: {
        auto* button = new FormButton(caption, parent);
        button->setFocusPolicy(Qt::StrongFocus);
        button->setAutoDefault(false);
        focusOrder.emplace_back(def.tabIndex, button);
        widget = button;
        break;
      }
      case ControlKind::Timer:
        break;
    }
    widget->setObjectName(def.index == kNoIndex
                              ? FromUtf8(def.name)
                              : FromUtf8(def.name) + QString("(%1)").arg(def.index));
    if (def.font) widget->setFont(MakeFont(*def.font));
    if (def.backColor || def.foreColor) {
      QPalette palette = widget->palette();
      if (def.backColor) {
        // An opaque label in its own colour. A label in the default colour lets
        // its frame's background show through, which is the same colour and
        // avoids a lighter box where the style shades group boxes.
        palette.setColor(QPalette::Window, ToQColor(*def.backColor));
        widget->setAutoFillBackground(true);
      }
      if (def.foreColor) palette.setColor(QPalette::WindowText, ToQColor(*def.foreColor));
      widget->setPalette(palette);
    }
    widget->setGeometry(PixelRect(def.left, def.top, def.width, def.height));
    if (auto* label = qobject_cast<ControlLabel*>(widget)) label->SetCaption(caption);
    if (!def.enabled) widget->setEnabled(false);
    controls_[key] = widget;
  }

  std::stable_sort(focusOrder.begin(), focusOrder.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < focusOrder.size(); ++i) {
    QWidget::setTabOrder(focusOrder[i - 1].second, focusOrder[i].second);
  }
  if (!focusOrder.empty()) {
    focusOrder.front().second->setFocus(Qt::OtherFocusReason);
  } else {
    // A window without a control that takes the focus (the display window)
    // comes up without taking the keyboard from the window in use.
    window->setAttribute(Qt::WA_ShowWithoutActivating);
  }

  PlaceOnScreen(definition, *window);
  windows_[definition.id] = std::move(window);
}

// Both windows open with their client areas at their stored positions.
void QtWindowHost::PlaceOnScreen(const WindowDef& definition, FormWindow& window) const {
  window.setGeometry(TwipsToPixels(definition.left), TwipsToPixels(definition.top), window.width(),
                     window.height());
}

void QtWindowHost::SetCaption(WindowId window, std::string_view control, int index,
                              std::string_view text) {
  Ensure(window);
  QWidget* widget = Control(window, control, index);
  const QString caption = FromUtf8(text);
  if (auto* label = qobject_cast<ControlLabel*>(widget)) {
    label->SetCaption(caption);
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(caption);
  } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
    frame->setTitle(caption);
  } else {
    NoSuchControl(control, index);
  }
}

ColorRef QtWindowHost::ForeColor(WindowId window, std::string_view control, int index) {
  Ensure(window);
  QWidget* widget = Control(window, control, index);
  if (widget == nullptr) NoSuchControl(control, index);
  return ToColorRef(widget->palette().color(QPalette::WindowText));
}

void QtWindowHost::SetForeColor(WindowId window, std::string_view control, int index,
                                ColorRef color) {
  Ensure(window);
  QWidget* widget = Control(window, control, index);
  if (widget == nullptr) NoSuchControl(control, index);
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, ToQColor(color));
  widget->setPalette(palette);
}

void QtWindowHost::SetTimerEnabled(WindowId window, std::string_view timer, bool enabled) {
  Ensure(window);
  QTimer* t = Timer(window, timer);
  if (t == nullptr) NoSuchControl(timer, kNoIndex);
  if (enabled == t->isActive()) return;  // enabling a running timer does not restart it
  if (enabled) {
    t->start();
  } else {
    t->stop();
  }
}

void QtWindowHost::LoadWindow(WindowId window) { Ensure(window); }

void QtWindowHost::ShowWindow(WindowId window) {
  FormWindow& w = Ensure(window);
  w.show();
  // Brings a window that was already up to the front; the offscreen platform
  // has no stacking order to change.
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) w.raise();
}

void QtWindowHost::HideWindow(WindowId window) {
  if (FormWindow* w = Window(window)) w->hide();
}

void QtWindowHost::EndProgram() {
  ended_ = true;
  for (auto& [key, timer] : timers_) timer->stop();
  for (auto& [id, window] : windows_) window->hide();
  emit programEnded();
  QCoreApplication::exit(0);
}

}  // namespace wexmon
