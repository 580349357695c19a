#include "ui/main/Dialogs.h"

#include <QMetaObject>
#include <iostream>
#include <string>

#include "capture/XIoctlUnit.h"
#include "ui/trace/TraceUnit.h"
#include "support/TextDevs.h"
#include "ui/trace/GuardedEntry.h"

namespace {

TMessageBoxHook &Hook() {
  static TMessageBoxHook hook;
  return hook;
}

}  // namespace

void SetMessageBoxHook(TMessageBoxHook hook) { Hook() = std::move(hook); }

void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon,
                    const QString& detail) {
  if (Hook()) {
    Hook()(caption, text);
    return;
  }
  QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
  if (!detail.isEmpty()) box.setDetailedText(detail);
  box.exec();
}

void InstallErrorBox(TXIoctl& State) {
  State.ErrorBox = [](std::string_view text, std::string_view detail) {
    // Also for whoever started us from a terminal.
    std::cerr << "wirepeek: " << text << (detail.empty() ? "" : ": ") << detail << std::endl;
    ShowMessageBox(nullptr, QString::fromUtf8(ErrorBoxCaption.data(), static_cast<qsizetype>(ErrorBoxCaption.size())),
                   QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), QMessageBox::Warning,
                   QString::fromUtf8(detail.data(), static_cast<qsizetype>(detail.size())));
    return 1;
  };
  // Debug mode writes the reason through the trace channel itself; the box
  // carries it to standard error.
  State.Reason = [](std::string_view line) {
    if (TraceOutput.WantsText() || !TraceForm) return;
    TMemoLines* lines = &TraceForm->MemoLines();
    QMetaObject::invokeMethod(lines, GuardedSlot([lines, text = std::string(line)] { lines->Add(text); }));
  };
}
