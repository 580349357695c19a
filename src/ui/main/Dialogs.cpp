#include "ui/main/Dialogs.h"

#include "capture/XIoctlUnit.h"

namespace {

TMessageBoxHook &Hook() {
  static TMessageBoxHook hook;
  return hook;
}

}  // namespace

void SetMessageBoxHook(TMessageBoxHook hook) { Hook() = std::move(hook); }

void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon) {
  if (Hook()) {
    Hook()(caption, text);
    return;
  }
  QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
  box.exec();
}

void InstallErrorBox() {
  SetErrorBoxSink([](std::string_view text) {
    ShowMessageBox(nullptr, QString::fromUtf8(ErrorBoxCaption.data(), static_cast<qsizetype>(ErrorBoxCaption.size())),
                   QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), QMessageBox::Warning);
    return 1;
  });
}
