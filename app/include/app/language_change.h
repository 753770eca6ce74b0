// Changing the interface language: the new language is written to the
// language file and takes effect in a new instance of the program, started in
// place of this one.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

namespace app {

// The language list of the language dialog, in this order, in every language.
constexpr const char* kLanguageItemNames[] = {"English(United States)", "中文(简体，中国)"};
// The list item of a language: 0 for 1033, 1 for 2052, -1 for any other.
int LanguageItem(uint16_t language);
// The language of a list item: 1033, 2052, or 0 for no such item.
uint16_t ItemLanguage(int item);

// How to start the program again.
struct RestartCommand {
    QString program;
    QStringList arguments;
    QString workingFolder;
};

// The restart of a program started with args (without the program itself):
// the same options without the files, so the new instance opens nothing.
// A file is any argument not starting with "-", and every argument after "--".
RestartCommand MakeRestartCommand(const QString& program, const QStringList& args,
                                  const QString& workingFolder);
// This process's restart: its own executable, arguments and working folder.
// Needs the application object.
RestartCommand CurrentRestartCommand();

// Starts a program without waiting for it; true when it started.
using ProcessStarter = std::function<bool(const RestartCommand&)>;
// The real starter: QProcess::startDetached.
bool StartDetached(const RestartCommand& command);

enum LanguageChangeResult {
    kLanguageUnchanged = 0,     // already CurrentLanguage(): nothing written or started
    kLanguageRestarted = 1,     // written and started again: the caller closes now
    kLanguageWriteFailed = -1,  // the language file was not written (or the id is not offered)
    kLanguageStartFailed = -2,  // written, but the new instance did not start
};

// Makes language the stored language and restarts: writes the language file,
// then starts restart through start. Only when both succeeded does the caller
// close; on a failure this instance stays (after a failed start the new
// language is stored and applies at the next start).
int ChangeLanguage(uint16_t language, const RestartCommand& restart, const ProcessStarter& start);

}  // namespace app
