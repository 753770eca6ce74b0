#include "app/language_dlg.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>

#include "app/language_change.h"
#include "app/skin_controls.h"
#include "app/strings.h"

namespace app {

CDlgSetLanguage::CDlgSetLanguage(QWidget* parent) : QWidget(parent) {
    // Native and raised, so that it shows above the video area's GL window.
    setAttribute(Qt::WA_NativeWindow);
    setObjectName("language");
    resize(240, 140);
    m_label = new QLabel(LoadString(kStrSelectLanguage), this);
    m_label->setObjectName("1185");
    m_label->adjustSize();
    m_list = new QComboBox(this);
    m_list->setObjectName("1097");
    for (const char* name : kLanguageItemNames) m_list->addItem(QString::fromUtf8(name));
    m_ok = new CButtonEx(this);
    m_ok->setObjectName("1033");
    m_ok->SetImages(173, 132, 173, 0, QColor(0xED, 0xED, 0xED));
    m_ok->setText(LoadString(kStrConfirm));
    QFont font = m_ok->font();
    font.setFamilies({"Fixedsys Excelsior", "DejaVu Sans", "WenQuanYi Micro Hei"});
    font.setPixelSize(13);
    m_ok->setFont(font);
    m_ok->SetTextColor(QColor(0x20, 0x20, 0x20));
    m_ok->resize(60, 30);
    QObject::connect(m_ok, &CButtonEx::clicked, this, [this] { OnOk(); });
    m_change = [](uint16_t language) {
        return ChangeLanguage(language, CurrentRestartCommand(), StartDetached);
    };
    Layout();
    hide();
}

void CDlgSetLanguage::Layout() {
    const QSize label = m_label->sizeHint();
    m_label->setGeometry(10, 8, label.width() + 10, label.height() + 3);
    const int listHeight = m_list->sizeHint().height();
    m_list->setGeometry(10, label.height() + 19, width() - 20, listHeight);
    m_ok->move(width() - 70, listHeight + label.height() + 27);
}

void CDlgSetLanguage::resizeEvent(QResizeEvent*) {
    Layout();
}

void CDlgSetLanguage::keyPressEvent(QKeyEvent* event) {
    // Enter chooses, Escape leaves the language as it is.
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            OnOk();
            break;
        case Qt::Key_Escape:
            hide();
            break;
        default:
            QWidget::keyPressEvent(event);
            break;
    }
}

void CDlgSetLanguage::paintEvent(QPaintEvent*) {
    QPainter(this).fillRect(rect(), QColor(0xED, 0xED, 0xED));
}

void CDlgSetLanguage::ShowCentred() {
    m_list->setCurrentIndex(LanguageItem(CurrentLanguage()));
    if (QWidget* owner = parentWidget())
        move((owner->width() - width()) / 2, (owner->height() - height()) / 2);
    show();
    raise();
    m_list->setFocus();
}

void CDlgSetLanguage::OnOk() {
    const int item = m_list->currentIndex();
    int result = kLanguageUnchanged;
    if (item >= 0 && item != LanguageItem(CurrentLanguage()) && m_change)
        result = m_change(ItemLanguage(item));
    hide();
    if (m_done) m_done(result);
}

}  // namespace app
