#pragma once
// The application object: its title (what the design showed on the taskbar)
// and the place where every event is delivered.
#include <QApplication>
#include <QString>

class TApplication final : public QApplication {
  Q_OBJECT
 public:
  TApplication(int& argc, char** argv);

  QString Title() const { return AppTitle; }
  void SetTitle(const QString& Title);

 signals:
  void TitleChanged(const QString& Title);

 private:
  QString AppTitle;
};

// The running application object (null before it exists).
TApplication* App();
