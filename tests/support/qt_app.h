// The one Qt application object of the test program: made on first use on the
// offscreen platform (widget tests need no display). Deleted by the test
// environment registered in test_app_settings.cpp.
#pragma once

#include <QApplication>

#include <clocale>
#include <string>

namespace testutil {

class QtApplication : public ::testing::Environment {
  public:
    static QApplication* Get() {
        if (QCoreApplication::instance() != nullptr)
            return qobject_cast<QApplication*>(QCoreApplication::instance());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Qt sets the C locale from the environment; the other tests keep theirs.
        const std::string locale = std::setlocale(LC_ALL, nullptr);
        static int argc = 1;
        static char name[] = "orbivue_tests";
        static char* argv[] = {name, nullptr};
        Owned() = new QApplication(argc, argv);
        std::setlocale(LC_ALL, locale.c_str());
        return Owned();
    }
    void TearDown() override {
        delete Owned();
        Owned() = nullptr;
    }

  private:
    static QApplication*& Owned() {
        static QApplication* owned = nullptr;
        return owned;
    }
};

}  // namespace testutil
