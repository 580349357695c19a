// The version dialog, reading this test program's own version block.
#include "ui/about/AboutUnit.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QKeyEvent>
#include <QTest>
#include <filesystem>

#include "support/Settings.h"
#include "support/TextDevs.h"
#include "ui/QtTestEnvironment.h"

namespace {

namespace fs = std::filesystem;

class AboutDialogTest : public testing::Test {
 protected:
  TTraceCapture Trace;
  TStringLineList& Lines = Trace.Lines;
};

TEST_F(AboutDialogTest, FirstShowingFillsTheTextsFromTheExecutable) {
  TAboutForm form;
  EXPECT_EQ(form.stProductName->text(), "");  // nothing until it is shown
  form.show();
  EXPECT_EQ(form.stProductName->text(), "Wirepeek");
  EXPECT_EQ(form.stProductVersion->text(), "1.0.0.0");
  EXPECT_TRUE(form.stLegalCopyRight->text().contains("Wirepeek developers"));
  EXPECT_EQ(form.stComments->text(), "使用ＰＣの伝送状態を簡便に監視する");
  EXPECT_FALSE(form.stCDate->text().isEmpty());
  EXPECT_EQ(form.windowTitle(), "バージョン情報");
  EXPECT_TRUE(form.OKButton->isDefault());
  ASSERT_EQ(Lines.Lines.size(), 1u);
  EXPECT_EQ(Lines.Lines[0].rfind("VersionInfoSize =", 0), 0u) << Lines.Lines[0];
  form.hide();
}

TEST_F(AboutDialogTest, SecondShowingDoesNotReadTheFileAgain) {
  const fs::path copy = fs::temp_directory_path() / ("wirepeek-about-" + std::to_string(getpid()));
  fs::copy_file(RunningExecutablePath(), copy, fs::copy_options::overwrite_existing);
  TAboutForm form(nullptr, copy.string());
  form.show();
  form.hide();
  const QString date = form.stCDate->text();
  fs::remove(copy);  // whatever happens to the file now
  form.show();
  form.hide();
  EXPECT_EQ(form.stCDate->text(), date);
  EXPECT_EQ(form.stProductName->text(), "Wirepeek");
  EXPECT_EQ(Lines.Lines.size(), 1u);  // one size line: read once
}

TEST_F(AboutDialogTest, WithoutABlockOnlyTheDateIsShown) {
  const fs::path copy = fs::temp_directory_path() / ("wirepeek-about-bare-" + std::to_string(getpid()));
  fs::copy_file(RunningExecutablePath(), copy, fs::copy_options::overwrite_existing);
  ASSERT_EQ(std::system(("objcopy --remove-section .wirepeek.version " + copy.string()).c_str()), 0);
  // 2 March 2004, 09:05:07 UTC.
  const timespec times[2] = {{1078218307, 0}, {1078218307, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
  TAboutForm form(nullptr, copy.string());
  form.show();
  form.hide();
  fs::remove(copy);
  EXPECT_EQ(form.stProductName->text(), "");
  EXPECT_EQ(form.stComments->text(), "");
  EXPECT_EQ(form.stCDate->text(), "2004/3/2,9:5:7");
  EXPECT_EQ(Lines.Lines, (std::vector<std::string>{"No version information found"}));
}

TEST_F(AboutDialogTest, HomeWritesFourteenLinesWhateverTheModifiers) {
  TAboutForm form;
  form.show();
  Lines.Lines.clear();
  QTest::keyRelease(&form, Qt::Key_Home, Qt::ShiftModifier | Qt::ControlModifier);
  ASSERT_EQ(Lines.Lines.size(), 14u);
  EXPECT_EQ(Lines.Lines[0], "Load=" + RunningExecutablePath());
  EXPECT_EQ(Lines.Lines[1], form.stCDate->text().toStdString());
  EXPECT_EQ(Lines.Lines[2].substr(0, 7), "ix= 1 (");
  EXPECT_EQ(Lines.Lines[9], "ix= 8 (Wirepeek)");
  EXPECT_EQ(Lines.Lines[13], "ix=12 (使用ＰＣの伝送状態を簡便に監視する)");
  QTest::keyRelease(&form, Qt::Key_End);
  EXPECT_EQ(Lines.Lines.size(), 14u);
  form.hide();
}

}  // namespace
