// Failed assertions in the window program show the "Assert" box.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/XIoctlUnit.h"
#include "support/Assertion.h"
#include "ui/QtTestEnvironment.h"
#include "ui/main/AssertBox.h"
#include "ui/main/Dialogs.h"

namespace {

struct TShownBox {
  QString Caption;
  QString Text;
  bool OneOkButton = false;
  bool Owned = false;
};

// Closes every message box that opens, with its OK button, noting what it showed.
class TBoxCloser {
 public:
  TBoxCloser() {
    QObject::connect(&Timer, &QTimer::timeout, [this] { CloseOpenBoxes(); });
    Timer.start(5);
  }
  std::vector<TShownBox> Shown;

 private:
  void CloseOpenBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (!box || !box->isVisible()) continue;
      QAbstractButton* ok = box->button(QMessageBox::Ok);
      Shown.push_back({box->windowTitle(), box->text(), ok && box->buttons().size() == 1, box->parentWidget() != nullptr});
      if (ok) {
        ok->click();
      } else {
        box->reject();
      }
    }
  }
  QTimer Timer;
};

// The line of the program's source that holds Needle.
int SourceLine(const char* File, const std::string& Needle) {
  std::ifstream source(std::filesystem::path(__FILE__).parent_path() / "../../../src" / File);
  int number = 0;
  for (std::string line; std::getline(source, line);) {
    ++number;
    if (line.find(Needle) != std::string::npos) return number;
  }
  return -1;
}

QString AddressText(const void* Address) {
  return QString::number(reinterpret_cast<quintptr>(Address), 16).toUpper().rightJustified(16, QLatin1Char('0'));
}

class AssertBoxTest : public testing::Test {
 protected:
  void SetUp() override {
    // As the program's start-up does.
    InstallAssertBox();
    SetMessageBoxHook(nullptr);
    SetErrorBoxSink([this](std::string_view text, std::string_view) {
      ErrorBoxes.emplace_back(text);
      return 1;
    });
  }
  void TearDown() override {
    SetErrorBoxSink(nullptr);
    SetAssertBoxSink(nullptr);
  }
  void ProcessEventsUntil(const std::function<bool()>& Done) {
    for (int i = 0; i < 300 && !Done(); ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  std::vector<std::string> ErrorBoxes;
};

TEST_F(AssertBoxTest, AFailedAssertionInTheProgramShowsTheBoxWithItsExactText) {
  TBoxCloser closer;
  TXIoctl state;
  state.SelectedAdapter = 0;
  // The box opens and is closed while InitAdapter waits; then it goes on.
  EXPECT_EQ(state.InitAdapter(), -1);
  ASSERT_EQ(closer.Shown.size(), 1u);
  const TShownBox& box = closer.Shown[0];
  EXPECT_EQ(box.Caption, QStringLiteral("Assert"));
  EXPECT_TRUE(box.OneOkButton);
  EXPECT_FALSE(box.Owned);
  const int line = SourceLine("capture/XIoctlUnit.cpp", "WIREPEEK_ASSERT(SelectedAdapter");
  ASSERT_GT(line, 0);
  ASSERT_NE(LastAssertAddress, nullptr);
  EXPECT_EQ(box.Text.toStdString(), QStringLiteral("XIoctlUnit.cpp(%1)@%2@\r\nSelectedAdapter is below 1")
                                        .arg(line)
                                        .arg(AddressText(LastAssertAddress))
                                        .toStdString());
  EXPECT_EQ(ErrorBoxes, std::vector<std::string>{"IntAdapter :bind failed"});
}

TEST_F(AssertBoxTest, TheCaptureThreadDoesNotWaitForTheBox) {
  TBoxCloser closer;
  TXIoctl state;
  state.SelectedAdapter = 0;
  // Off the window thread the assertion returns at once, box or no box.
  std::thread([&state] { state.InitAdapter(); }).join();
  EXPECT_TRUE(closer.Shown.empty());
  ProcessEventsUntil([&] { return !closer.Shown.empty(); });
  ASSERT_EQ(closer.Shown.size(), 1u);
  EXPECT_EQ(closer.Shown[0].Caption, QStringLiteral("Assert"));
  EXPECT_TRUE(closer.Shown[0].Text.startsWith(QStringLiteral("XIoctlUnit.cpp(")));
  EXPECT_TRUE(closer.Shown[0].Text.endsWith(QStringLiteral("@\r\nSelectedAdapter is below 1")));
  EXPECT_FALSE(closer.Shown[0].Owned);
}

}  // namespace
