// Message boxes in the chosen language: plain text, an empty caption unless one
// is given, no icon, and OK (and Cancel) buttons whose texts come from the
// string table of the language file's language, read again for every box.
#pragma once

#include <QString>
#include <memory>

class QMessageBox;
class QWidget;

namespace app {

enum MessageButtons { kMessageOk, kMessageOkCancel };

// A box ready to be shown; OK is its default button, Escape answers Cancel
// (or OK when there is no Cancel).
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& text,
                                            const QString& caption = QString(),
                                            MessageButtons buttons = kMessageOk);

// Shows the box modally; true when the user answered OK.
bool ShowMessage(QWidget* parent, const QString& text, const QString& caption = QString(),
                 MessageButtons buttons = kMessageOk);

}  // namespace app
