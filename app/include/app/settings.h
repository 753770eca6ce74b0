// The settings files in the per-user settings folder and the output folder.
//
// Both files keep their byte formats: the language file is exactly 4 bytes,
// the language identifier as a little-endian 32-bit integer; the output-folder
// file is the folder as raw little-endian UTF-16 code units, no byte-order
// mark, no terminator. Both are written to a temporary name and renamed, so a
// reader never sees a partial file.
#pragma once

#include <QString>
#include <cstdint>

#include "app/strings.h"

namespace app {

constexpr const char* kApplicationName = "Orbivue";
constexpr const char* kLanguageFileName = "Language.ini";
constexpr const char* kOutputFolderFileName = "orbivueglobal.ini";
// The longest folder the output-folder file may hold, in UTF-16 code units.
constexpr int kMaxOutputFolderUnits = 4096;

// Names the application "Orbivue" with no organisation, so that the settings
// folder is <config>/Orbivue/ whatever the program file is called.
void SetApplicationIdentity();

// The per-user settings folder ($XDG_CONFIG_HOME/Orbivue/, or
// ~/.config/Orbivue/), ending in "/". Sets the application identity first.
QString SettingsFolder();
QString SettingsFilePath(const char* name);

// The language of the language file: 1033 or 2052 when the file holds exactly
// those 4 bytes, 1033 for anything else (missing, short, long, other value).
uint16_t ReadLanguage();

// Writes the language file (creating the settings folder). False for an
// identifier other than 1033 and 2052, or when the file could not be written
// in full (the old file is then left as it was).
bool WriteLanguage(uint16_t language);

enum OutputFolderResult {
    kOutputFolderReady = 0,        // the folder exists
    kOutputFolderNotCreated = -1,  // the default folder could not be created
};

struct OutputFolder {
    QString path;  // always ends in "/"
    int result = kOutputFolderReady;
    bool fromFile = false;  // taken from the output-folder file
};

// The default output folder: the user's home folder followed by "Orbivue/".
QString DefaultOutputFolder();

// The output folder: the folder of the output-folder file when that file holds
// whole code units of an absolute folder path ending in "/" that exists;
// otherwise the default folder, created when missing. The path is returned
// even when the folder could not be created, with kOutputFolderNotCreated.
OutputFolder ReadOutputFolder();

enum WriteOutputFolderResult {
    kWriteOutputFolderOk = 0,
    kWriteOutputFolderEmpty = -1,   // nothing written for an empty folder
    kWriteOutputFolderFailed = -2,  // the settings folder or the file could not be written
};

// Writes folder's code units to the output-folder file (creating the settings
// folder). Returns a WriteOutputFolderResult.
int WriteOutputFolder(const QString& folder);

}  // namespace app
