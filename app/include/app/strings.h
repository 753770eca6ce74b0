// The interface languages and the string tables: every user-visible text is
// loaded by number from the table of the current language (res/strings/).
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <map>

namespace app {

constexpr uint16_t kLanguageEnglish = 1033;  // English (United States)
constexpr uint16_t kLanguageChinese = 2052;  // Chinese (Simplified, China)

// Every string id the code loads: X(name, number). Each one has a text in both
// tables; the tests hold the tables to this list in both directions.
#define ORBIVUE_STRING_IDS(X)          \
    X(kStrConfirm, 104)                \
    X(kStrSelectLanguage, 106)         \
    X(kStrPlayerTitle, 200)            \
    X(kStrConverter, 201)              \
    X(kStrMerger, 202)                 \
    X(kStrUploadTo, 203)               \
    X(kStrOpenConverter, 300)          \
    X(kStrOpenFileTip, 301)            \
    X(kStrCreateFileFailed, 302)       \
    X(kStrFinish, 304)                 \
    X(kStrAskOpenOutputFolder, 305)    \
    X(kStrOpen, 465)                   \
    X(kStrStart, 466)                  \
    X(kStrStop, 467)                   \
    X(kStrOpenDir, 468)                \
    X(kStrBrowse, 469)                 \
    X(kStrMerge, 470)                  \
    X(kStrSelectRotation, 471)         \
    X(kStrVideoQuality, 472)           \
    X(kStrOutputPath, 473)             \
    X(kStrOutputName, 474)             \
    X(kStrQualityLow, 475)             \
    X(kStrQualityMedium, 476)          \
    X(kStrQualityHigh, 477)            \
    X(kStrProgress, 478)               \
    X(kStrTimeLeft, 479)               \
    X(kStrAskPlayWithoutOpenGl2, 480)  \
    X(kStrNotFromQualifiedCamera, 481) \
    X(kStrAlreadyStitched, 482)        \
    X(kStrOpenGl2Required, 483)        \
    X(kStrAskCancelStitching, 484)     \
    X(kStrStitchingDone, 485)          \
    X(kStrStitchingFailed, 486)        \
    X(kStrOutputPathMissing, 487)      \
    X(kStrScreenShotSavedIn, 488)      \
    X(kStrSelectFiles, 489)            \
    X(kStrOutOfMemory, 491)            \
    X(kStrMergeSavedTo, 493)           \
    X(kStrMergeFailed, 494)            \
    X(kStrNotYetStitched, 495)         \
    X(kStrFilePath, 496)               \
    X(kStrAdd, 497)                    \
    X(kStrDelete, 498)                 \
    X(kStrIndex, 499)                  \
    X(kStrInputFiles, 500)             \
    X(kStrRecordingSavedIn, 501)       \
    X(kStrFileOpenFailed, 502)         \
    X(kStrButtonOk, 503)               \
    X(kStrButtonCancel, 504)           \
    X(kStrLanguageAtNextStart, 505)    \
    X(kStrMaximise, 506)               \
    X(kStrRestore, 507)                \
    X(kStrCannotRecord, 508)           \
    X(kStrCannotMergeName, 509)        \
    X(kStrMenuOpenFile, 510)           \
    X(kStrMenuNetStream, 511)          \
    X(kStrMenuSubtitle, 512)           \
    X(kStrMenuHistory, 513)            \
    X(kStrMenuHelp, 514)               \
    X(kStrMenuSettings, 515)           \
    X(kStrMenuProperties, 516)         \
    X(kStrMenuExit, 517)

#define ORBIVUE_STRING_ID_CONSTANT(name, number) constexpr int name = number;
ORBIVUE_STRING_IDS(ORBIVUE_STRING_ID_CONSTANT)
#undef ORBIVUE_STRING_ID_CONSTANT

#define ORBIVUE_STRING_ID_ENTRY(name, number) number,
constexpr int kAllStringIds[] = {ORBIVUE_STRING_IDS(ORBIVUE_STRING_ID_ENTRY)};
#undef ORBIVUE_STRING_ID_ENTRY

// 1033 or 2052: any other identifier is English.
uint16_t SupportedLanguage(int language);

// The string tables of both languages. A table is UTF-8 text, one
// "ID<TAB>text" line per string (decimal id 1..65535, non-empty text, each id
// once); empty lines are skipped.
class CStringTables {
  public:
    // Replaces the table of a language (1033 or 2052). Returns 0 when every
    // line was well formed, otherwise the number of the first bad line (the
    // table then holds the lines before it).
    int Load(uint16_t language, const QByteArray& text);
    // The text of id in language, else the English text, else empty.
    QString Get(int id, uint16_t language) const;
    // Whether the table of language itself holds id.
    bool Has(int id, uint16_t language) const;
    // The table of language itself, by ascending id.
    const std::map<int, QString>& Table(uint16_t language) const;

  private:
    std::map<int, QString> m_english;
    std::map<int, QString> m_chinese;
};

// The tables compiled into the program, loaded once at first use.
// BuiltInStringsError is Load's answer for the built-in table of a language.
const CStringTables& BuiltInStrings();
int BuiltInStringsError(uint16_t language);

// The process's interface language: 1033 until ApplyLanguage. ApplyLanguage
// also makes the language the default locale. Safe from any thread.
uint16_t CurrentLanguage();
void ApplyLanguage(uint16_t language);

// The text of id in the current (or the given) language, falling back to
// English. An id without a text gives an empty string and a trace line.
QString LoadString(int id);
QString LoadString(int id, uint16_t language);

}  // namespace app
