#include "app/strings.h"

#include <QFile>
#include <QLocale>
#include <QStringDecoder>
#include <atomic>
#include <cstdio>

// The string tables are resources of this static library: registered here by
// name, since nothing else would pull the generated registration in.
static void RegisterStringResources() {
    Q_INIT_RESOURCE(app_strings);
}

namespace app {

namespace {

std::atomic<uint16_t> g_language{kLanguageEnglish};

struct BuiltIn {
    CStringTables tables;
    int englishError = 0;
    int chineseError = 0;
};

// A line's id: 1 to 65535 in decimal digits, else 0.
int ParseId(const QByteArray& digits) {
    if (digits.isEmpty() || digits.size() > 5) return 0;
    int id = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return 0;
        id = id * 10 + (c - '0');
    }
    return id <= 65535 ? id : 0;
}

int LoadResource(CStringTables& tables, uint16_t language, const char* path) {
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly)) {
        std::printf("string table %s is missing\n", path);
        return 1;
    }
    const int bad = tables.Load(language, file.readAll());
    if (bad != 0) std::printf("string table %s: line %d is malformed\n", path, bad);
    return bad;
}

const BuiltIn& LoadBuiltIn() {
    static const BuiltIn builtIn = [] {
        RegisterStringResources();
        BuiltIn b;
        b.englishError = LoadResource(b.tables, kLanguageEnglish, ":/strings/en.txt");
        b.chineseError = LoadResource(b.tables, kLanguageChinese, ":/strings/zh_CN.txt");
        return b;
    }();
    return builtIn;
}

}  // namespace

uint16_t SupportedLanguage(int language) {
    return language == kLanguageChinese ? kLanguageChinese : kLanguageEnglish;
}

int CStringTables::Load(uint16_t language, const QByteArray& text) {
    std::map<int, QString>& table =
        SupportedLanguage(language) == kLanguageChinese ? m_chinese : m_english;
    table.clear();
    int lineNumber = 0;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0) end = text.size();
        QByteArray line = text.mid(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.endsWith('\r')) line.chop(1);
        if (line.isEmpty()) continue;
        const qsizetype tab = line.indexOf('\t');
        if (tab < 0) return lineNumber;
        const int id = ParseId(line.left(tab));
        const QByteArray utf8 = line.mid(tab + 1);
        QStringDecoder decode(QStringDecoder::Utf8);
        const QString value = decode(utf8);
        if (id == 0 || value.isEmpty() || decode.hasError() || table.count(id) != 0)
            return lineNumber;
        table.emplace(id, value);
    }
    return 0;
}

const std::map<int, QString>& CStringTables::Table(uint16_t language) const {
    return SupportedLanguage(language) == kLanguageChinese ? m_chinese : m_english;
}

bool CStringTables::Has(int id, uint16_t language) const {
    return Table(language).count(id) != 0;
}

QString CStringTables::Get(int id, uint16_t language) const {
    const std::map<int, QString>& own = Table(language);
    auto it = own.find(id);
    if (it != own.end()) return it->second;
    it = m_english.find(id);
    return it != m_english.end() ? it->second : QString();
}

const CStringTables& BuiltInStrings() {
    return LoadBuiltIn().tables;
}

int BuiltInStringsError(uint16_t language) {
    const BuiltIn& b = LoadBuiltIn();
    return SupportedLanguage(language) == kLanguageChinese ? b.chineseError : b.englishError;
}

uint16_t CurrentLanguage() {
    return g_language.load(std::memory_order_relaxed);
}

void ApplyLanguage(uint16_t language) {
    const uint16_t lang = SupportedLanguage(language);
    g_language.store(lang, std::memory_order_relaxed);
    QLocale::setDefault(
        lang == kLanguageChinese
            ? QLocale(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China)
            : QLocale(QLocale::English, QLocale::UnitedStates));
}

QString LoadString(int id) {
    return LoadString(id, CurrentLanguage());
}

QString LoadString(int id, uint16_t language) {
    QString text = BuiltInStrings().Get(id, language);
    if (text.isEmpty()) std::printf("LoadString: no text for string %d\n", id);
    return text;
}

}  // namespace app
