// The window program, started as main() starts it, with a scenario that
// faults on purpose. test_ui_main runs it in child processes.
//   wirepeek_program_helper <scenario> [program arguments...]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "support/Assertion.h"
#include "support/FaultInjection.h"
#include "support/WorkerGuard.h"
#include "diagnostics/TraceReport.h"
#include "diagnostics/ZExWatcher.h"
#include "support/Settings.h"
#include "support/TextDevs.h"
#include "ui/main/Dialogs.h"
#include "ui/main/MainUnit.h"
#include "ui/main/RatePage.h"
#include "ui/main/Program.h"
#include "ui/trace/TraceUnit.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QSet>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <initializer_list>

#include "ui/about/AboutUnit.h"
#include "app/CommandLine.h"

namespace {

void Print(const char* kind, QString text) {
  std::printf("%s\t%s\n", kind, text.replace('\n', QStringLiteral("\\n")).toUtf8().constData());
}

// Every text of Widget and its children a person reads, in the order they were made; Skip holds those that
// differ from host to host or build to build.
void PrintTexts(QObject* object, const QSet<QObject*>& skip) {
  if (skip.contains(object)) return;
  if (auto* widget = qobject_cast<QWidget*>(object); widget && widget->isWindow()) Print("title", widget->windowTitle());
  if (auto* label = qobject_cast<QLabel*>(object)) Print("label", label->text());
  if (auto* button = qobject_cast<QAbstractButton*>(object)) Print("button", button->text());
  if (auto* menu = qobject_cast<QMenu*>(object)) Print("menu", menu->title());
  if (auto* action = qobject_cast<QAction*>(object)) Print("action", action->text());
  if (auto* bar = qobject_cast<QStatusBar*>(object)) Print("status", bar->currentMessage());
  if (auto* tabs = qobject_cast<QTabWidget*>(object))
    for (int i = 0; i < tabs->count(); ++i) Print("tab", tabs->tabText(i));
  if (auto* combo = qobject_cast<QComboBox*>(object))
    for (int i = 0; i < combo->count(); ++i) Print("item", combo->itemText(i));
  const QAbstractItemModel* model = qobject_cast<QAbstractItemView*>(object) ? qobject_cast<QAbstractItemView*>(object)->model() : nullptr;
  for (int c = 0; model && c < model->columnCount(); ++c) Print("header", model->headerData(c, Qt::Horizontal).toString());
  for (int r = 0; model && r < model->rowCount(); ++r)
    for (int c = 0; c < model->columnCount(); ++c) Print("cell", model->index(r, c).data().toString());
  for (QObject* child : object->children()) PrintTexts(child, skip);
}

}  // namespace

int main(int argc, char** argv) {
  InstallDiagnosticHooks();
  InstallAssertionHandler();
  SetProgramPaths();
  // As the program's front door does.
  if (!ArmFaults(std::getenv("WIREPEEK_FAULT")).empty()) return 2;
  WorkerGuard = RunThreadWork;
  if (argc < 2) return 2;
  const std::string scenario = argv[1];
  // The program sees the arguments after the scenario.
  argv[1] = argv[0];
  int programArgc = argc - 1;
  char** programArgv = argv + 1;
  TProgramHooks hooks;
  if (scenario == "build") {
    hooks.MakeMainForm = []() -> std::unique_ptr<TMainForm> { throw std::runtime_error("no window today"); };
  } else if (scenario == "badmap") {
    // The alert's dialog would wait for a person: answer it on standard output.
    hooks.Created = [](TMainForm&) {
      SetTraceAlertSink([](const std::string& text) {
        std::printf("ALERT %s\n", text.c_str());
        std::fflush(stdout);
        return AlertResultYes;
      });
    };
  } else if (scenario == "pages") {
    // What a user does that no timer does: the summary pages shown (the
    // models answer the view), the rate page shown (it paints), and a command
    // of the trace window's menu, each half a second after the last.
    hooks.Created = [](TMainForm& form) {
      QTimer::singleShot(500, &form, [&form] { form.cbProt_IPAdr->setChecked(true); });
      QTimer::singleShot(1000, &form, [&form] { form.pcSyukei->setCurrentWidget(form.tsRate); });
      QTimer::singleShot(1500, &form, [] { TraceForm->mmiMainForm->trigger(); });
    };
  } else if (scenario == "texts") {
    // Every text of the windows, every box (those of --start too, and of a
    // failed start from a file) and the guide that help opens, one a line;
    // then the program ends.
    SetMessageBoxHook([](const QString& caption, const QString& text) { Print("box", caption + " | " + text); });
    hooks.Created = [](TMainForm& form) {
      form.OpenDocument = [](const QString& path) {
        Print("help", QFileInfo(path).fileName());
        return true;
      };
      QTimer::singleShot(300, &form, [&form] {
        form.cbProt_IPAdr->setChecked(true);
        AboutForm->show();
        const QSet<QObject*> skip = {form.cbAdapter, TraceForm->memoTrace, AboutForm->stCDate, AboutForm->stProductName,
                                     AboutForm->stProductVersion, AboutForm->stLegalCopyRight};
        for (QObject* window : std::initializer_list<QObject*>{&form, TraceForm}) PrintTexts(window, skip);  // About is the form's
        // Texts of the About dialog that run into each other.
        const QList<QLabel*> labels = AboutForm->paneAbout->findChildren<QLabel*>();
        for (QLabel* a : labels)
          for (QLabel* b : labels)
            if (a < b && a->geometry().intersects(b->geometry())) Print("overlap", a->text() + " | " + b->text());
        AboutForm->hide();
        form.actHelpExecute();
        form.Monitor().Ioctl->CaptureFile = "/nonexistent/wirepeek.pcap";
        form.actCaptureStart->trigger();
        form.close();
      });
    };
  } else {
    return 2;
  }
  TLongOptions options;
  std::string error;
  if (!ParseCommandLine({programArgv + 1, programArgv + programArgc}, options, error)) return 2;
  return RunWindowProgram(programArgc, programArgv, hooks, options);
}
