#pragma once
// The version dialog: product name, version, copyright, comment and build
// date of the running executable, read from the file at the first showing.
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <string>

#include "support/VersionInfo.h"
#include "ui/trace/GuardedEntry.h"

class TAboutForm final : public TGuarded<QDialog> {
  Q_OBJECT
 public:
  // ExePath: the executable to describe; empty for the running one.
  explicit TAboutForm(QWidget* parent = nullptr, std::string ExePath = {});

  // What the first showing read (module-wide in spirit: one dialog per run).
  const TAboutVersionInfo& Info() const noexcept { return Version; }

  QFrame* paneAbout;
  QLabel* ProgramIcon;
  QLabel* lbProductName;
  QLabel* lbVersion;
  QLabel* lbCopyright;
  QLabel* lbCDate;
  QLabel* lbComments;
  QLabel* stProductName;
  QLabel* stProductVersion;
  QLabel* stLegalCopyRight;
  QLabel* stCDate;
  QLabel* stComments;
  QPushButton* OKButton;

 protected:
  void showEvent(QShowEvent* Event) override;
  void keyReleaseEvent(QKeyEvent* Event) override;

 private:
  void FormShow();
  void LoadVersionInfo();

  std::string ExePath;
  TAboutVersionInfo Version;
  bool VersionPending = true;
};

extern TAboutForm* AboutForm;
