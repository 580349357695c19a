#include "ui/main/Dialogs.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

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

QString RightsFixText(const TRightsFix& fix) {
  const auto tr = [](const char* text) { return QCoreApplication::translate("TErrorBox", text); };
  const QString cause = tr("原因: このユーザーにはパケットをキャプチャする権限がありません。");
  switch (fix.Kind) {
    case TRightsFix::TKind::NotInstalled:
      return cause + '\n' +
             tr("対処: キャプチャ補助プログラム wirepeek-capture がありません。wirepeek パッケージをインストールしてください。");
    case TRightsFix::TKind::JoinGroup:
      return cause + '\n' + tr("対処: グループ %1 に入り、ログインし直してください:").arg(QString::fromStdString(fix.Group)) +
             QStringLiteral("\n  sudo adduser %1 %2")
                 .arg(QString::fromStdString(fix.User.empty() ? std::string("$USER") : fix.User),
                      QString::fromStdString(fix.Group));
    case TRightsFix::TKind::SetCap:
      return cause + '\n' + tr("対処: キャプチャ補助プログラムに権限を与えてください:") +
             QStringLiteral("\n  sudo setcap cap_net_raw=ep %1").arg(QString::fromStdString(fix.HelperPath));
    case TRightsFix::TKind::None:
      break;
  }
  return {};
}

void InstallErrorBox(TXIoctl& State) {
  // After a box that has told why a capture lacks its rights and what to do,
  // the monitor's own box would only say it again.
  auto rightsTold = std::make_shared<bool>(false);
  State.ErrorBox = [&State, rightsTold](std::string_view text, std::string_view detail) {
    // Also for whoever started us from a terminal.
    std::cerr << "wirepeek: " << text << (detail.empty() ? "" : ": ") << detail << std::endl;
    if (std::exchange(*rightsTold, false) && text == CaptureStartErrorText) return 1;
    QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (State.RightsFix.Kind != TRightsFix::TKind::None) {
      shown += QStringLiteral("\n\n") + RightsFixText(State.RightsFix);
      *rightsTold = true;
    }
    ShowMessageBox(nullptr, QCoreApplication::translate("TErrorBox", ErrorBoxCaption.data()), shown,
                   QMessageBox::Warning, QString::fromUtf8(detail.data(), static_cast<qsizetype>(detail.size())));
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
