#include "ui/main/AssertBox.h"

#include <QApplication>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <string>

#include "support/Assertion.h"
#include "ui/main/Dialogs.h"
#include "ui/trace/GuardedEntry.h"

void InstallAssertBox() {
  SetAssertBoxSink([](const std::string& Text, const std::string& Caption) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!qobject_cast<QApplication*>(app)) {
      std::fprintf(stderr, "%s: %s\n", Caption.c_str(), Text.c_str());
      return;
    }
    const QString caption = QString::fromStdString(Caption);
    const QString text = QString::fromStdString(Text);
    if (QThread::currentThread() == app->thread()) {
      ShowMessageBox(nullptr, caption, text);
      return;
    }
    // Any other thread (the capture thread) goes on at once: the window
    // thread may be waiting for it. One such box at a time; assertions that
    // fail meanwhile go to standard error.
    static std::atomic<bool> showing{false};
    if (showing.exchange(true)) {
      std::fprintf(stderr, "%s: %s\n", Caption.c_str(), Text.c_str());
      return;
    }
    QMetaObject::invokeMethod(app, GuardedSlot([caption, text] {
      struct TDone {
        ~TDone() { showing.store(false); }
      } done;
      ShowMessageBox(nullptr, caption, text);
    }), Qt::QueuedConnection);
  });
}
