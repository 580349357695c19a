#pragma once
// Message boxes of the program, behind one seam so tests can watch them.
#include <QMessageBox>
#include <QString>
#include <functional>

// When set, boxes are handed to the hook instead of being shown.
using TMessageBoxHook = std::function<void(const QString& Caption, const QString& Text)>;
void SetMessageBoxHook(TMessageBoxHook Hook);

// A modal box with one OK button; Detail, when given, behind its
// "Show Details..." button.
void ShowMessageBox(QWidget* Parent, const QString& Caption, const QString& Text,
                    QMessageBox::Icon Icon = QMessageBox::NoIcon, const QString& Detail = {});

class TXIoctl;
struct TRightsFix;

// The cause of a capture's lack of rights and its fix, in the user's language.
QString RightsFixText(const TRightsFix& Fix);

// Sends a capture's error boxes to modal "確認" boxes, each also on standard
// error with its detail, and its reasons for a failure to the trace window's
// log, in debug mode or not. A capture that lacks its rights gets one box,
// which says why and what to do.
void InstallErrorBox(TXIoctl& State);
