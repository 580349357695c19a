#pragma once
// The version dialog: the product's name, version, copyright and comment
// from the executable's version resource, and its build date. Read once, at
// the first showing; shown modally over the main window, hidden when closed.
#include <windows.h>

#include "support/VersionInfo.h"

class TAboutForm {
 public:
  explicit TAboutForm(HWND Owner);
  ~TAboutForm();
  TAboutForm(const TAboutForm&) = delete;
  TAboutForm& operator=(const TAboutForm&) = delete;

  // Shows the dialog and returns when it is closed.
  void ShowModal();
  HWND Handle() const noexcept { return Form; }

  HWND stProductName = nullptr;
  HWND stProductVersion = nullptr;
  HWND stLegalCopyRight = nullptr;
  HWND stCDate = nullptr;
  HWND stComments = nullptr;
  HWND OKButton = nullptr;

 private:
  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  LRESULT Handle(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  void FormShow();
  void FormKeyUp(WPARAM Key);

  HWND Owner;
  HWND Form = nullptr;
  HWND paneAbout = nullptr;
  HFONT Fonts[4] = {};
  bool VersionPending = true;
  bool Showing = false;
  TAboutVersionInfo Info;
};
