#include "app/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace app {

namespace {

// Replaces the file at path by bytes through a temporary file beside it.
bool WriteWholeFile(const QString& path, const QByteArray& bytes) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
    // An uncommitted QSaveFile removes its temporary file and leaves the old file.
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QString WithSlash(QString folder) {
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    return folder;
}

// The folder in the output-folder file, or empty when it is not usable.
QString FolderFromFile() {
    QFile file(SettingsFilePath(kOutputFolderFileName));
    if (!file.open(QIODevice::ReadOnly)) return QString();
    // One byte more than the longest allowed content tells a longer file apart.
    const QByteArray bytes = file.read(qint64{kMaxOutputFolderUnits} * 2 + 1);
    if (bytes.isEmpty() || bytes.size() % 2 != 0 || bytes.size() > kMaxOutputFolderUnits * 2)
        return QString();
    QString folder;
    folder.reserve(bytes.size() / 2);
    for (qsizetype i = 0; i < bytes.size(); i += 2) {
        const auto unit = static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                                static_cast<uint8_t>(bytes[i + 1]) << 8);
        if (unit == 0) break;  // the text ends at the first zero unit
        folder += QChar(unit);
    }
    if (!folder.isValidUtf16() || !folder.endsWith(QLatin1Char('/')) ||
        !QDir::isAbsolutePath(folder) || !QFileInfo(folder).isDir())
        return QString();
    return folder;
}

}  // namespace

void SetApplicationIdentity() {
    const QString name = QString::fromLatin1(kApplicationName);
    if (QCoreApplication::applicationName() != name) QCoreApplication::setApplicationName(name);
    if (!QCoreApplication::organizationName().isEmpty())
        QCoreApplication::setOrganizationName(QString());
}

QString SettingsFolder() {
    SetApplicationIdentity();
    return WithSlash(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

QString SettingsFilePath(const char* name) {
    return SettingsFolder() + QString::fromUtf8(name);
}

uint16_t ReadLanguage() {
    QFile file(SettingsFilePath(kLanguageFileName));
    if (!file.open(QIODevice::ReadOnly)) return kLanguageEnglish;
    const QByteArray bytes = file.read(5);
    if (bytes.size() != 4) return kLanguageEnglish;
    const uint32_t value = static_cast<uint32_t>(static_cast<uint8_t>(bytes[0])) |
                           static_cast<uint32_t>(static_cast<uint8_t>(bytes[1])) << 8 |
                           static_cast<uint32_t>(static_cast<uint8_t>(bytes[2])) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(bytes[3])) << 24;
    return value == kLanguageChinese ? kLanguageChinese : kLanguageEnglish;
}

bool WriteLanguage(uint16_t language) {
    if (language != kLanguageEnglish && language != kLanguageChinese) return false;
    QByteArray bytes(4, '\0');
    bytes[0] = static_cast<char>(language & 0xFF);
    bytes[1] = static_cast<char>(language >> 8);
    return WriteWholeFile(SettingsFilePath(kLanguageFileName), bytes);
}

QString DefaultOutputFolder() {
    return WithSlash(QDir::homePath()) + QString::fromLatin1(kApplicationName) + QLatin1Char('/');
}

OutputFolder ReadOutputFolder() {
    OutputFolder out;
    out.path = FolderFromFile();
    if (!out.path.isEmpty()) {
        out.fromFile = true;
        return out;
    }
    out.path = DefaultOutputFolder();
    if (!QDir().mkpath(out.path)) out.result = kOutputFolderNotCreated;
    return out;
}

int WriteOutputFolder(const QString& folder) {
    if (folder.isEmpty()) return kWriteOutputFolderEmpty;
    QByteArray bytes;
    bytes.reserve(folder.size() * 2);
    for (const QChar c : folder) {
        bytes.append(static_cast<char>(c.unicode() & 0xFF));
        bytes.append(static_cast<char>(c.unicode() >> 8));
    }
    return WriteWholeFile(SettingsFilePath(kOutputFolderFileName), bytes)
               ? kWriteOutputFolderOk
               : kWriteOutputFolderFailed;
}

}  // namespace app
