#pragma once
// Message boxes of the program, behind one seam so tests can watch them.
#include <QMessageBox>
#include <QString>
#include <functional>

// When set, boxes are handed to the hook instead of being shown.
using TMessageBoxHook = std::function<void(const QString& Caption, const QString& Text)>;
void SetMessageBoxHook(TMessageBoxHook Hook);

// A modal box with one OK button.
void ShowMessageBox(QWidget* Parent, const QString& Caption, const QString& Text,
                    QMessageBox::Icon Icon = QMessageBox::NoIcon);

// Sends the capture engine's error boxes to modal "確認" boxes.
void InstallErrorBox();
