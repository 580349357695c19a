#include "ui/main/Application.h"

#include <QIcon>

#include "diagnostics/TraceReport.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setWindowIcon(QIcon(QStringLiteral(":/wirepeek.svg")));
}

void TApplication::SetTitle(const QString& Title) {
  if (Title == AppTitle) return;
  AppTitle = Title;
  emit TitleChanged(AppTitle);
}

TApplication* App() { return qobject_cast<TApplication*>(QCoreApplication::instance()); }

bool TApplication::notify(QObject* receiver, QEvent* event) {
  if (!GuardEvents) return QApplication::notify(receiver, event);
  bool handled = false;
  RunEventHandler([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

// Qt's meta-object code for this file's classes, compiled with it rather than in a unit of its own.
#include "moc_Application.cpp"
