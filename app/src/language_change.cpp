#include "app/language_change.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include "app/settings.h"
#include "app/strings.h"

namespace app {

int LanguageItem(uint16_t language) {
    if (language == kLanguageEnglish) return 0;
    if (language == kLanguageChinese) return 1;
    return -1;
}

uint16_t ItemLanguage(int item) {
    if (item == 0) return kLanguageEnglish;
    if (item == 1) return kLanguageChinese;
    return 0;
}

RestartCommand MakeRestartCommand(const QString& program, const QStringList& args,
                                  const QString& workingFolder) {
    RestartCommand command{program, {}, workingFolder};
    for (const QString& arg : args) {
        if (arg == QLatin1String("--")) break;  // only files follow
        if (arg.startsWith(QLatin1Char('-'))) command.arguments.append(arg);
    }
    return command;
}

RestartCommand CurrentRestartCommand() {
    return MakeRestartCommand(QCoreApplication::applicationFilePath(),
                              QCoreApplication::arguments().mid(1), QDir::currentPath());
}

bool StartDetached(const RestartCommand& command) {
    return QProcess::startDetached(command.program, command.arguments, command.workingFolder);
}

int ChangeLanguage(uint16_t language, const RestartCommand& restart, const ProcessStarter& start) {
    if (language == CurrentLanguage()) return kLanguageUnchanged;
    if (!WriteLanguage(language)) return kLanguageWriteFailed;
    if (!start || !start(restart)) return kLanguageStartFailed;
    return kLanguageRestarted;
}

}  // namespace app
