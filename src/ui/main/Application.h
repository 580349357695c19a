#pragma once
// The application object: its title (what the Windows version showed on the taskbar)
// and the place where every event is delivered.
#include <QApplication>
#include <QString>

class TApplication final : public QApplication {
  Q_OBJECT
 public:
  TApplication(int& argc, char** argv);

  QString Title() const { return AppTitle; }
  void SetTitle(const QString& Title);

  // Every event runs as its own handler: a fault or an exception in it is
  // reported and abandons that handler only, and the loop goes on.
  bool notify(QObject* Receiver, QEvent* Event) override;
  // Off until the trace window is there to report.
  bool GuardEvents = false;

 signals:
  void TitleChanged(const QString& Title);

 private:
  QString AppTitle;
};

// The running application object (null before it exists).
TApplication* App();
