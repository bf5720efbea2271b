#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QMessageBox;
class QWidget;

// Modal boxes with the exact titles, texts and button texts the windows use.
namespace msgbox {

// Information box with one button of the given text.
void information(QWidget* parent, const QString& title, const QString& text, const QString& button);

// Information box with the standard OK button.
void information_ok(QWidget* parent, const QString& title, const QString& text);

// Question with the given buttons; returns the index of the button chosen.
// Escape (or closing the box) answers `escapeIndex`.
int question(QWidget* parent, const QString& title, const QString& text, const QStringList& buttons, int defaultIndex,
             int escapeIndex);

// Test seam: while a hook is set, every box is built as usual and handed to
// it instead of being shown; the hook clicks the box's button of its choice
// (or none, which counts as escape). Returns the previous hook.
using Hook = std::function<void(QMessageBox& box)>;
Hook set_hook(Hook hook);

} // namespace msgbox
