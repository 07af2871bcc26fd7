// The program assembled: the Qt windows, the handlers, and the events of the
// main window's controls connected to them.
#pragma once

#include <QObject>
#include <QString>

#include "card_functions.h"
#include "frm_main.h"
#include "qt_window_host.h"

namespace wexmon {

class WexmonApp : public QObject {
  Q_OBJECT
 public:
  // `startFailures`, when given, hears of every failed start step.
  WexmonApp(CardFunctions& card, const QString& decimalSeparator,
            StartFailureReport* startFailures = nullptr);

  // Creates the main window, runs its load handler and shows it with the focus
  // on the start button. FrmShow is created later, on demand.
  void Start();

  QtWindowHost& Host() { return host_; }
  FrmMain& Handlers() { return frmMain_; }

  // "Label1=...", "Label2=..." and "lblTemp(i)=..." lines, for --dump-labels.
  QString LabelDump() const;

 private:
  void ConnectMainWindow();

  QtWindowHost host_;
  FrmMain frmMain_;
};

// The decimal separator of the user's locale settings.
QString SystemDecimalSeparator();

}  // namespace wexmon
