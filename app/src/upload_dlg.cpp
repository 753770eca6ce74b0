#include "app/upload_dlg.h"

#include <QDesktopServices>
#include <QPainter>

#include "app/skin_controls.h"
#include "app/strings.h"

namespace app {

namespace {

struct Site {
    int id;
    int image;
    const char* page;
};
constexpr Site kSites[] = {
    {1033, 453, "https://www.youtube.com/upload"},
    {1034, 450, "https://www.facebook.com/"},
    {1035, 452, "https://upload.youku.com/"},
};

}  // namespace

CUploadDlg::CUploadDlg(QWidget* parent) : QWidget(parent, Qt::Dialog) {
    setObjectName("upload");
    setWindowTitle(LoadString(kStrUploadTo));
    setFixedSize(3 * 130 + 10, 80);
    int x = 10;
    for (const Site& site : kSites) {
        auto* b = new CButtonEx(this);
        b->setObjectName(QString::number(site.id));
        b->SetImages(site.image, site.image, site.image, 0, QColor(0xED, 0xED, 0xED));
        b->setGeometry(x, 10, 120, 60);
        x += 130;
        const int id = site.id;
        QObject::connect(b, &CButtonEx::clicked, this, [this, id] { Choose(id); });
    }
    m_open = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

QUrl CUploadDlg::PageOf(int id) {
    for (const Site& site : kSites)
        if (site.id == id) return QUrl(QString::fromLatin1(site.page));
    return QUrl();
}

void CUploadDlg::Choose(int id) {
    const QUrl page = PageOf(id);
    // Whether a browser opened is not ours to know: the dialog goes either way.
    if (page.isValid() && m_open) m_open(page);
    hide();
}

CButtonEx* CUploadDlg::Button(int id) const {
    return findChild<CButtonEx*>(QString::number(id));
}

void CUploadDlg::paintEvent(QPaintEvent*) {
    QPainter(this).fillRect(rect(), QColor(0xED, 0xED, 0xED));
}

}  // namespace app
