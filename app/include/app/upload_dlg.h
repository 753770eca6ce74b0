// The upload dialog: three buttons that open a video site's upload page in
// the user's browser. Nothing is uploaded by the program itself.
#pragma once

#include <QUrl>
#include <QWidget>

#include <functional>

namespace app {

class CButtonEx;

class CUploadDlg : public QWidget {
  public:
    explicit CUploadDlg(QWidget* parent = nullptr);
    // The pages the three buttons (1033, 1034, 1035) open.
    static QUrl PageOf(int id);
    // Opens the page of button `id` and hides the dialog.
    void Choose(int id);
    CButtonEx* Button(int id) const;

    // How a page is opened; QDesktopServices::openUrl unless replaced.
    std::function<bool(const QUrl&)> m_open;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace app
