#include "wexmon_app.h"

#include <QLocale>
#include <QPushButton>
#include <QTimer>

#include "control_label.h"

namespace wexmon {

QString SystemDecimalSeparator() { return QLocale::system().decimalPoint(); }

WexmonApp::WexmonApp(CardFunctions& card, const QString& decimalSeparator,
                     StartFailureReport* startFailures)
    : host_(), frmMain_(host_, card, decimalSeparator.toStdString(), startFailures) {}

void WexmonApp::Start() {
  host_.LoadWindow(WindowId::FrmMain);
  ConnectMainWindow();
  frmMain_.Form_Load();
  host_.ShowWindow(WindowId::FrmMain);
  host_.Button(WindowId::FrmMain, "CmdStart")->setFocus(Qt::OtherFocusReason);
}

void WexmonApp::ConnectMainWindow() {
  constexpr WindowId kMain = WindowId::FrmMain;
  connect(host_.Button(kMain, "CmdStart"), &QPushButton::clicked, this,
          [this] { frmMain_.CmdStart_Click(); });
  connect(host_.Button(kMain, "CmdExit"), &QPushButton::clicked, this,
          [this] { frmMain_.CmdExit_Click(); });
  connect(host_.Button(kMain, "CmdRelay"), &QPushButton::clicked, this,
          [this] { frmMain_.CmdRelay_Click(); });
  for (int i = 0; i < 8; ++i) {
    connect(host_.Label(kMain, "lblRelay", i), &ControlLabel::doubleClicked, this,
            [this, i] { frmMain_.lblRelay_DblClick(static_cast<std::int16_t>(i)); });
  }
  connect(host_.Timer(kMain, "Timer1"), &QTimer::timeout, this,
          [this] { frmMain_.Timer1_Timer(); });

  // Closing the main window runs its unload handler and ends the program; the
  // display window goes with it.
  host_.Window(kMain)->SetCloseHandler([this] {
    if (host_.Ended()) return;
    frmMain_.Form_Unload();
    host_.EndProgram();
  });
}

QString WexmonApp::LabelDump() const {
  QString dump;
  dump += "Label1=" + host_.Caption(WindowId::FrmMain, "Label1") + '\n';
  dump += "Label2=" + host_.Caption(WindowId::FrmMain, "Label2") + '\n';
  for (int i = 0; i < 8; ++i) {
    dump += QString("lblTemp(%1)=").arg(i) + host_.Caption(WindowId::FrmShow, "lblTemp", i) + '\n';
  }
  return dump;
}

}  // namespace wexmon
