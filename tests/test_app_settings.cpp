// The application's settings files, string tables, language change and
// message boxes. HOME and XDG_CONFIG_HOME point into a temporary folder; the
// widget tests run on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/language_change.h"
#include "app/message_box.h"
#include "app/settings.h"
#include "app/strings.h"
#include "support/files.h"
#include "support/qt_app.h"

namespace {

using testutil::Bytes;

using testutil::QtApplication;

[[maybe_unused]] ::testing::Environment* const kQtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplication);

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

Bytes Utf16Le(const QString& s) {
    Bytes b;
    for (const QChar c : s) {
        b.push_back(static_cast<uint8_t>(c.unicode() & 0xFF));
        b.push_back(static_cast<uint8_t>(c.unicode() >> 8));
    }
    return b;
}

// A private home and settings folder per test; the environment, the process
// language and the default locale are put back afterwards.
class AppFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        ASSERT_TRUE(QDir().mkpath(Q(home_)) && QDir().mkpath(Q(config_)));
        ::setenv("HOME", home_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
        app::ApplyLanguage(app::kLanguageEnglish);
    }
    void TearDown() override {
        app::ApplyLanguage(app::kLanguageEnglish);
        QLocale::setDefault(locale_);
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name, value->c_str(), 1);
            else
                ::unsetenv(name);
        }
    }

    void WriteSetting(const std::string& path, const Bytes& bytes) const {
        ASSERT_TRUE(QDir().mkpath(Q(settings_)));
        QFile file(Q(path));  // also writes empty files (no null data pointer)
        const QByteArray data(reinterpret_cast<const char*>(bytes.data()),
                              static_cast<qsizetype>(bytes.size()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    }
    // A regular file where the settings folder belongs: nothing can be written there.
    void BlockSettingsFolder() const {
        QDir(Q(settings_)).removeRecursively();
        ASSERT_TRUE(testutil::WriteBytes(settings_, {1}));
    }

    testutil::TempDir dir_;
    const std::string home_ = dir_.File("home");
    const std::string config_ = dir_.File("config");
    const std::string settings_ = config_ + "/Orbivue";
    const std::string languageFile_ = settings_ + "/Language.ini";
    const std::string folderFile_ = settings_ + "/orbivueglobal.ini";
    const QString defaultFolder_ = Q(home_ + "/Orbivue/");

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
    const QLocale locale_;
};

// Widget tests: the application object is made before HOME moves.
class AppWidgetFixture : public AppFixture {
  protected:
    void SetUp() override {
        ASSERT_NE(QtApplication::Get(), nullptr) << "another test made a non-widget application";
        AppFixture::SetUp();
    }
};

using AppSettings = AppFixture;
using AppStrings = AppFixture;
using AppLanguageChange = AppWidgetFixture;
using AppMessageBox = AppWidgetFixture;

TEST_F(AppSettings, LanguageFileIsExactlyFourLittleEndianBytesOfAnOfferedId) {
    EXPECT_EQ(Q(settings_ + "/"), app::SettingsFolder());
    EXPECT_EQ(app::ReadLanguage(), 1033) << "no file";
    const struct {
        Bytes bytes;
        uint16_t want;
    } cases[] = {
        {{0x04, 0x08, 0, 0}, 2052},
        {{0x09, 0x04, 0, 0}, 1033},
        {{0x04, 0x08, 0}, 1033},
        {{0x04, 0x08, 0, 0, 0}, 1033},
        {{}, 1033},
        {{0x07, 0x04, 0, 0}, 1033},  // 1031, not offered
        {{0, 0, 0x08, 0x04}, 1033},  // 2052 big-endian
        {{0x04, 0x08, 1, 0}, 1033},  // 2052 + 65536
    };
    for (const auto& c : cases) {
        WriteSetting(languageFile_, c.bytes);
        EXPECT_EQ(app::ReadLanguage(), c.want) << c.bytes.size() << " bytes";
    }

    ASSERT_TRUE(app::WriteLanguage(2052));
    EXPECT_EQ(testutil::ReadFile(languageFile_), (Bytes{0x04, 0x08, 0, 0}));
    EXPECT_FALSE(app::WriteLanguage(1031));
    EXPECT_EQ(app::ReadLanguage(), 2052) << "a refused id leaves the file";
    // Written through a temporary name: nothing else is left in the folder.
    EXPECT_EQ(testutil::ListFolder(settings_), std::vector<std::string>{"Language.ini"});

    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(app::SettingsFolder(), Q(home_ + "/.config/Orbivue/"));
}

TEST_F(AppSettings, OutputFolderRoundTripsAsRawUtf16CodeUnits) {
    const QString folder = Q(dir_.File("输出 é \U0001F30D/"));
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_EQ(app::WriteOutputFolder(folder), app::kWriteOutputFolderOk);
    EXPECT_EQ(testutil::ReadFile(folderFile_), Utf16Le(folder)) << "no mark, no terminator";
    EXPECT_EQ(testutil::ListFolder(settings_), std::vector<std::string>{"orbivueglobal.ini"});

    const app::OutputFolder got = app::ReadOutputFolder();
    EXPECT_EQ(got.path, folder);
    EXPECT_TRUE(got.fromFile);
    EXPECT_EQ(got.result, app::kOutputFolderReady);
    EXPECT_FALSE(QFileInfo::exists(defaultFolder_)) << "the default is made only when used";

    // A zero unit ends the text, as in a file written with a terminator.
    Bytes padded = Utf16Le(folder);
    padded.insert(padded.end(), 4, 0);
    WriteSetting(folderFile_, padded);
    EXPECT_EQ(app::ReadOutputFolder().path, folder);
}

TEST_F(AppSettings, UnusableOutputFolderFileGivesTheCreatedDefault) {
    const QString real = Q(dir_.File("real/"));
    ASSERT_TRUE(QDir().mkpath(real));
    Bytes odd = Utf16Le(real);
    odd.push_back('x');
    Bytes lone = Utf16Le(real);
    lone.insert(lone.end() - 2, {0x00, 0xD8});
    const struct {
        const char* what;
        std::optional<Bytes> bytes;
    } cases[] = {
        {"no file", std::nullopt},
        {"half a code unit", odd},
        {"no final slash", Utf16Le(Q(dir_.File("real")))},
        {"missing folder", Utf16Le(Q(dir_.File("gone/")))},
        {"relative folder", Utf16Le(QStringLiteral("real/"))},
        {"unpaired surrogate", lone},
        {"longer than a path", Utf16Le(QString(app::kMaxOutputFolderUnits + 1, QChar('/')))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(Q(folderFile_));
        QDir(defaultFolder_).removeRecursively();
        if (c.bytes) WriteSetting(folderFile_, *c.bytes);
        const app::OutputFolder got = app::ReadOutputFolder();
        EXPECT_EQ(got.path, defaultFolder_);
        EXPECT_FALSE(got.fromFile);
        EXPECT_EQ(got.result, app::kOutputFolderReady);
        EXPECT_TRUE(QFileInfo(defaultFolder_).isDir());
    }
}

TEST_F(AppSettings, FailuresToCreateOrWriteAreReported) {
    // A file where the default folder belongs: the caller still gets the path.
    ASSERT_TRUE(testutil::WriteBytes(home_ + "/Orbivue", {1}));
    const app::OutputFolder got = app::ReadOutputFolder();
    EXPECT_EQ(got.path, defaultFolder_);
    EXPECT_EQ(got.result, app::kOutputFolderNotCreated);

    EXPECT_EQ(app::WriteOutputFolder(QString()), app::kWriteOutputFolderEmpty);
    EXPECT_FALSE(QFileInfo::exists(Q(folderFile_)));
    BlockSettingsFolder();
    EXPECT_EQ(app::WriteOutputFolder(QStringLiteral("/tmp/")), app::kWriteOutputFolderFailed);
    EXPECT_FALSE(app::WriteLanguage(2052));
}

TEST_F(AppStrings, BothTablesHoldExactlyTheDeclaredIdsInTheirLanguage) {
    ASSERT_EQ(app::BuiltInStringsError(app::kLanguageEnglish), 0);
    ASSERT_EQ(app::BuiltInStringsError(app::kLanguageChinese), 0);
    const std::set<int> declared(std::begin(app::kAllStringIds), std::end(app::kAllStringIds));
    EXPECT_EQ(declared.size(), std::size(app::kAllStringIds)) << "an id declared twice";
    const auto han = [](const QString& s) {
        return std::any_of(s.begin(), s.end(),
                           [](QChar c) { return c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF; });
    };
    for (const uint16_t lang : {app::kLanguageEnglish, app::kLanguageChinese}) {
        std::set<int> ids;
        for (const auto& [id, text] : app::BuiltInStrings().Table(lang)) {
            ids.insert(id);
            EXPECT_EQ(han(text), lang == app::kLanguageChinese) << id;
        }
        EXPECT_EQ(ids, declared) << "table " << lang;
    }
    // Each language's punctuation, and the strings added to the tables.
    EXPECT_EQ(app::LoadString(app::kStrAskPlayWithoutOpenGl2, 2052),
              QStringLiteral("显卡OpenGl版本低于2.0，是否以非全景模式播放该文件？"));
    EXPECT_EQ(app::LoadString(app::kStrOpenFileTip, 2052), QStringLiteral("打开文件"));
    EXPECT_EQ(app::LoadString(app::kStrFileOpenFailed, 1033),
              QStringLiteral("The file could not be opened."));
    EXPECT_EQ(app::LoadString(app::kStrFileOpenFailed, 2052), QStringLiteral("无法打开该文件。"));
}

TEST_F(AppStrings, LoadStringFollowsTheAppliedLanguageAndFallsBackToEnglish) {
    EXPECT_EQ(app::LoadString(app::kStrConfirm), QStringLiteral("Confirm"));
    app::ApplyLanguage(2052);
    EXPECT_EQ(app::LoadString(app::kStrConfirm), QStringLiteral("确认"));
    EXPECT_EQ(QLocale().language(), QLocale::Chinese);
    app::ApplyLanguage(1031);  // not offered: English
    EXPECT_EQ(app::CurrentLanguage(), 1033);
    EXPECT_TRUE(app::LoadString(9999).isEmpty());

    app::CStringTables t;
    ASSERT_EQ(t.Load(1033, "1\tOne\n2\tTwo\tand a tab\n"), 0);
    ASSERT_EQ(t.Load(2052, "\n1\t一\r\n"), 0);
    EXPECT_EQ(t.Get(1, 2052), QStringLiteral("一"));
    EXPECT_EQ(t.Get(2, 2052), QStringLiteral("Two\tand a tab"));
    EXPECT_TRUE(t.Get(3, 2052).isEmpty());
    // Malformed lines are found by number.
    for (const auto& [text, line] :
         std::vector<std::pair<const char*, int>>{{"1\tOne\n2 Two\n", 2},
                                                  {"1\tOne\n1\tAgain\n", 2},
                                                  {"0\tZero\n", 1},
                                                  {"65536\tBig\n", 1},
                                                  {"7\t\n", 1},
                                                  {"8\tA\xFF\n", 1},
                                                  {"1\tOne\n\n x\tY\n", 3}}) {
        app::CStringTables bad;
        EXPECT_EQ(bad.Load(1033, text), line) << text;
    }
}

TEST_F(AppLanguageChange, WritesTheFileBeforeStartingAndClosesOnlyWhenBothWorked) {
    const app::RestartCommand cmd{"/opt/orbivue/orbivue", {"-v"}, "/srv"};
    int calls = 0;
    bool startWorks = true;
    uint16_t storedAtStart = 0;
    const auto starter = [&](const app::RestartCommand& c) {
        ++calls;
        storedAtStart = app::ReadLanguage();
        EXPECT_EQ(c.program, cmd.program);
        EXPECT_EQ(c.arguments, cmd.arguments);
        EXPECT_EQ(c.workingFolder, cmd.workingFolder);
        return startWorks;
    };
    EXPECT_EQ(app::ChangeLanguage(1033, cmd, starter), app::kLanguageUnchanged);
    EXPECT_FALSE(QFileInfo::exists(Q(languageFile_))) << "the language in use is not written";
    EXPECT_EQ(app::ChangeLanguage(1031, cmd, starter), app::kLanguageWriteFailed);
    EXPECT_EQ(calls, 0);

    EXPECT_EQ(app::ChangeLanguage(2052, cmd, starter), app::kLanguageRestarted);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(storedAtStart, 2052);

    startWorks = false;
    EXPECT_EQ(app::ChangeLanguage(2052, cmd, starter), app::kLanguageStartFailed);
    BlockSettingsFolder();
    startWorks = true;
    EXPECT_EQ(app::ChangeLanguage(2052, cmd, starter), app::kLanguageWriteFailed);
    EXPECT_EQ(calls, 2) << "no start without the file";
}

TEST_F(AppLanguageChange, RestartKeepsTheProgramFolderAndOptionsButNoFile) {
    const app::RestartCommand cmd = app::MakeRestartCommand(
        "/usr/bin/orbivue", {"--trace", "/media/a.jpg", "b.mp4", "-x", "--", "-c.mp4"}, "/w");
    EXPECT_EQ(cmd.arguments, (QStringList{"--trace", "-x"}));

    const app::RestartCommand self = app::CurrentRestartCommand();
    EXPECT_TRUE(QFileInfo(self.program).isExecutable()) << self.program.toStdString();
    EXPECT_EQ(self.workingFolder, QDir::currentPath());
}

TEST_F(AppMessageBox, ButtonsSpeakTheLanguageOfTheLanguageFile) {
    ASSERT_TRUE(app::WriteLanguage(2052));
    const auto box =
        app::MakeMessageBox(nullptr, QStringLiteral("<b>x</b>"), QString(), app::kMessageOkCancel);
    EXPECT_EQ(box->button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    EXPECT_EQ(box->button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
    EXPECT_TRUE(box->windowTitle().isEmpty());
    EXPECT_EQ(box->textFormat(), Qt::PlainText);

    // The file is read for every box, whatever the process language.
    app::ApplyLanguage(2052);
    ASSERT_TRUE(app::WriteLanguage(1033));
    const auto english = app::MakeMessageBox(nullptr, QStringLiteral("x"), QStringLiteral("Done"));
    EXPECT_EQ(english->button(QMessageBox::Ok)->text(), QStringLiteral("OK"));
    EXPECT_EQ(english->button(QMessageBox::Cancel), nullptr);
    EXPECT_EQ(english->windowTitle(), QStringLiteral("Done"));
}

}  // namespace
