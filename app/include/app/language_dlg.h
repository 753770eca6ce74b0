// The language dialog: a small panel over the main window with the two
// languages and a skinned OK button. Choosing another language writes the
// language file and restarts the program in it.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>

class QComboBox;
class QLabel;

namespace app {

class CButtonEx;

class CDlgSetLanguage : public QWidget {
  public:
    explicit CDlgSetLanguage(QWidget* parent);

    // Shows the dialog centred on its parent with the current language chosen.
    void ShowCentred();
    // OK: another language than the current one is handed to m_change.
    void OnOk();

    // The language change (a LanguageChangeResult); replaceable for tests.
    std::function<int(uint16_t language)> m_change;
    // What the window does with the result: close on a restart, say why otherwise.
    std::function<void(int result)> m_done;

    QComboBox* List() const { return m_list; }
    QLabel* Label() const { return m_label; }
    CButtonEx* OkButton() const { return m_ok; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void Layout();

    QLabel* m_label;
    QComboBox* m_list;
    CButtonEx* m_ok;
};

}  // namespace app
