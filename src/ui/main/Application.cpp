#include "ui/main/Application.h"

#include <QIcon>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setWindowIcon(QIcon(QStringLiteral(":/wirepeek.svg")));
}

void TApplication::SetTitle(const QString& Title) {
  if (Title == AppTitle) return;
  AppTitle = Title;
  emit TitleChanged(AppTitle);
}

TApplication* App() { return qobject_cast<TApplication*>(QCoreApplication::instance()); }
