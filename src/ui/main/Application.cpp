#include "ui/main/Application.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void TApplication::SetTitle(const QString& Title) {
  if (Title == AppTitle) return;
  AppTitle = Title;
  emit TitleChanged(AppTitle);
}

TApplication* App() { return qobject_cast<TApplication*>(QCoreApplication::instance()); }
