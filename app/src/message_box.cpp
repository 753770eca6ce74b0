#include "app/message_box.h"

#include <QAbstractButton>
#include <QMessageBox>

#include "app/settings.h"
#include "app/strings.h"

namespace app {

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& text,
                                            const QString& caption, MessageButtons buttons) {
    // The language file, not the process language: after a language change the
    // boxes of the closing instance already speak the new language.
    const uint16_t language = ReadLanguage();
    auto box = std::make_unique<QMessageBox>(parent);
    box->setIcon(QMessageBox::NoIcon);
    box->setWindowTitle(caption);
    box->setTextFormat(Qt::PlainText);  // paths and names are never markup
    box->setText(text);
    box->setStandardButtons(buttons == kMessageOkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                        : QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    box->setEscapeButton(buttons == kMessageOkCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    box->button(QMessageBox::Ok)->setText(LoadString(kStrButtonOk, language));
    if (buttons == kMessageOkCancel)
        box->button(QMessageBox::Cancel)->setText(LoadString(kStrButtonCancel, language));
    return box;
}

bool ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                 MessageButtons buttons) {
    const std::unique_ptr<QMessageBox> box = MakeMessageBox(parent, text, caption, buttons);
    return box->exec() == QMessageBox::Ok;
}

}  // namespace app
