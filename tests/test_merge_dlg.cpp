// The merge dialog with its file dialog, message boxes, metadata check and
// conversion library replaced by the test: rows, the list file, the output
// name, the worker thread and what is left on disk; the owner-drawn list's
// colour rules, progress split and leave rule; the popup menu's rows.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTimer>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/list_ctrl.h"
#include "app/messages.h"
#include "app/multi_composite_dlg.h"
#include "app/my_menu.h"
#include "app/settings.h"
#include "app/strings.h"
#include "convert/convert_api.h"
#include "platform/file.h"
#include "support/files.h"
#include "support/qt_app.h"

namespace {

using namespace app;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// A window that keeps the numbers of the messages it receives.
class MessageSink : public QWidget {
  public:
    bool event(QEvent* e) override {
        if (e->type() != MessageEvent::EventType()) return QWidget::event(e);
        received.push_back(static_cast<MessageEvent*>(e)->m_message);
        return true;
    }
    int Count(int message) const {
        int n = 0;
        for (int m : received) n += m == message;
        return n;
    }
    std::vector<int> received;
};

// Runs the event loop until done() holds or five seconds pass.
template <class Done>
bool WaitFor(Done done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 5000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

struct Box {
    QString text, caption;
};

class MergeDialog : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(testutil::QtApplication::Get(), nullptr);
        ApplyLanguage(kLanguageEnglish);
        folder_ = Q(dir_.path()) + "/out/";
        ASSERT_TRUE(QDir().mkpath(folder_));
        for (const char* name : {"C it's.mp4", "A.mp4", "B.mp4", "flat.mp4"}) {
            const std::string path = dir_.File(name);
            ASSERT_TRUE(testutil::WriteBytes(path, {'m', 'p', '4'}));
        }
    }

    QString In(const char* name) const { return Q(dir_.File(name)); }

    // A dialog wired to the test's fakes; the clock stands at
    // 2024-03-05 07:08:09.
    std::unique_ptr<CMultiCompositeDlg> Make() {
        auto d = std::make_unique<CMultiCompositeDlg>(nullptr, folder_);
        d->m_chooseFiles = [this] { return chosen_; };
        d->m_showMessage = [this](const QString& text, const QString& caption, MessageButtons) {
            boxes_.push_back({text, caption});
            return true;
        };
        d->m_isStitched = [](const std::string& path) {
            return path.find("flat") == std::string::npos;
        };
        d->m_runMerge = [](const std::vector<std::string>&) { return -1; };
        d->m_stopMerge = [] {};
        d->m_localTime = [] {
            std::tm t{};
            t.tm_year = 2024 - 1900;
            t.tm_mon = 2;
            t.tm_mday = 5;
            t.tm_hour = 7;
            t.tm_min = 8;
            t.tm_sec = 9;
            return t;
        };
        return d;
    }

    // Adds C, A and B.
    void AddThree(CMultiCompositeDlg& d) {
        chosen_ = {In("C it's.mp4"), In("A.mp4"), In("B.mp4")};
        d.Add();
    }

    static QString Number(const CMultiCompositeDlg& d, int row) {
        return d.List()->item(row, 0)->text();
    }

    // Starts a merge with the Start button and waits for its end.
    static bool RunMerge(CMultiCompositeDlg& d) {
        d.Button(CMultiCompositeDlg::kIdStart)->click();
        return WaitFor([&] {
            QCoreApplication::processEvents();
            return !d.Busy();
        });
    }

    testutil::TempDir dir_;
    QString folder_;
    QStringList chosen_;
    std::vector<Box> boxes_;
};

TEST_F(MergeDialog, AddKeepsTheOrderAndRefusesUnstitchedFilesAndLineBreaks) {
    auto d = Make();
    EXPECT_FALSE(d->Button(CMultiCompositeDlg::kIdStart)->isEnabled());
    const QString broken = Q(dir_.path()) + "/two\nlines.mp4";
    chosen_ = {In("C it's.mp4"), In("A.mp4"), In("B.mp4"), In("flat.mp4"), broken};
    d->Add();
    EXPECT_EQ(d->Files(), QStringList({In("C it's.mp4"), In("A.mp4"), In("B.mp4")}));
    EXPECT_EQ(Number(*d, 0), "001");
    EXPECT_EQ(Number(*d, 2), "003");
    ASSERT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(boxes_[0].text, LoadString(kStrNotYetStitched) + "\n" + LoadString(kStrFilePath) +
                                  ": " + In("flat.mp4"));
    EXPECT_EQ(boxes_[1].text,
              LoadString(kStrCannotMergeName) + "\n" + LoadString(kStrFilePath) + ": " + broken);
    EXPECT_TRUE(d->Button(CMultiCompositeDlg::kIdStart)->isEnabled());
}

TEST_F(MergeDialog, DeleteNeedsASelectionAndRenumbers) {
    auto d = Make();
    AddThree(*d);
    d->List()->clearSelection();
    d->Delete();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, LoadString(kStrSelectFiles));
    EXPECT_EQ(d->Files().size(), 3);

    d->List()->selectRow(1);  // A
    d->Delete();
    EXPECT_EQ(d->Files(), QStringList({In("C it's.mp4"), In("B.mp4")}));
    EXPECT_EQ(Number(*d, 0), "001");
    EXPECT_EQ(Number(*d, 1), "002");
    EXPECT_TRUE(d->Button(CMultiCompositeDlg::kIdStart)->isEnabled());

    d->List()->selectAll();
    d->Delete();
    EXPECT_EQ(d->List()->rowCount(), 0);
    EXPECT_FALSE(d->Button(CMultiCompositeDlg::kIdStart)->isEnabled());
}

TEST_F(MergeDialog, MergeWritesTheListRunsOffTheWindowThreadAndCleansUp) {
    auto d = Make();
    AddThree(*d);
    std::vector<std::string> argv;
    QByteArray listed;
    std::thread::id runner;
    d->m_runMerge = [&](const std::vector<std::string>& args) {
        argv = args;
        runner = std::this_thread::get_id();
        QFile list(Q(args.at(4)));
        if (list.open(QIODevice::ReadOnly)) listed = list.readAll();
        QFile out(Q(args.at(7)));
        if (out.open(QIODevice::WriteOnly)) out.write("merged");
        return 0;
    };
    ASSERT_TRUE(RunMerge(*d));

    const QString first = folder_ + "20240305070809_merge.mp4";
    ASSERT_EQ(argv.size(), 8u);
    const std::vector<std::string> fixed = {"ffmpeg", "-f", "concat", "-i", "-c", "copy"};
    EXPECT_EQ(std::vector<std::string>({argv[0], argv[1], argv[2], argv[3], argv[5], argv[6]}),
              fixed);
    EXPECT_EQ(Q(argv[7]), first);
    EXPECT_TRUE(Q(argv[4]).startsWith(QDir::tempPath() + "/"));
    EXPECT_NE(runner, std::this_thread::get_id());
    // One line per row, in the listed order, each ' written as '\''.
    const QByteArray expected = "file '" + QFile::encodeName(Q(dir_.path())) +
                                "/C it'\\''s.mp4'\n" + "file '" + QFile::encodeName(In("A.mp4")) +
                                "'\n" + "file '" + QFile::encodeName(In("B.mp4")) + "'\n";
    EXPECT_EQ(listed, expected);
    EXPECT_FALSE(QFile::exists(Q(argv[4]))) << "the list file is deleted after the merge";
    EXPECT_TRUE(QFile::exists(first));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, LoadString(kStrMergeSavedTo) + ": " + first);
    EXPECT_EQ(boxes_[0].caption, LoadString(kStrFinish));

    // A second merge in the same second takes the next free name.
    ASSERT_TRUE(RunMerge(*d));
    EXPECT_EQ(Q(argv[7]), folder_ + "20240305070809_merge_1.mp4");
    EXPECT_TRUE(QFile::exists(first));
    EXPECT_TRUE(QFile::exists(Q(argv[7])));
    EXPECT_FALSE(QFile::exists(Q(argv[4])));
}

TEST_F(MergeDialog, FailedMergeLeavesNoOutputAndNoListFile) {
    auto d = Make();
    AddThree(*d);
    std::string list, output;
    d->m_runMerge = [&](const std::vector<std::string>& args) {
        list = args.at(4);
        output = args.at(7);
        QFile out(Q(output));
        if (out.open(QIODevice::WriteOnly)) out.write("partial");
        return static_cast<int>(kConvertWriteFailed);
    };
    ASSERT_TRUE(RunMerge(*d));
    EXPECT_FALSE(platform::FileExists(output.c_str()));
    EXPECT_FALSE(platform::FileExists(list.c_str()));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, LoadString(kStrMergeFailed));
    EXPECT_EQ(boxes_[0].caption, LoadString(kStrFinish));
    EXPECT_TRUE(d->Button(CMultiCompositeDlg::kIdStart)->isEnabled());
}

TEST_F(MergeDialog, OutputThatIsAnInputIsRefused) {
    // An input that is a link to where the output will be named.
    const QString output = folder_ + "20240305070809_merge.mp4";
    const std::string link = dir_.File("link.mp4");
    ASSERT_EQ(::symlink(output.toStdString().c_str(), link.c_str()), 0);
    auto d = Make();
    chosen_ = {Q(link)};
    d->Add();
    ASSERT_EQ(d->Files().size(), 1);
    bool ran = false;
    d->m_runMerge = [&](const std::vector<std::string>&) {
        ran = true;
        return 0;
    };
    d->Button(CMultiCompositeDlg::kIdStart)->click();
    QCoreApplication::processEvents();
    EXPECT_FALSE(d->Busy());
    EXPECT_FALSE(ran);
    EXPECT_FALSE(QFile::exists(output)) << "the reserved name is given back";
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, LoadString(kStrMergeFailed));
}

TEST_F(MergeDialog, WindowStaysResponsiveWhileTheMergeRuns) {
    std::atomic<bool> started{false}, release{false};  // outlive the dialog
    auto d = Make();
    AddThree(*d);
    d->m_runMerge = [&](const std::vector<std::string>&) {
        started = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return 0;
    };
    d->Button(CMultiCompositeDlg::kIdStart)->click();
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    EXPECT_TRUE(WaitFor([&] { return timerRan; })) << "the window thread is not blocked";
    EXPECT_TRUE(d->Busy());
    for (int id : {CMultiCompositeDlg::kIdAdd, CMultiCompositeDlg::kIdDelete,
                   CMultiCompositeDlg::kIdStart, CMultiCompositeDlg::kIdClose})
        EXPECT_FALSE(d->Button(id)->isEnabled()) << id;
    // A second start while busy is ignored.
    PostMessage(d.get(), WM_START_MERGE);
    QCoreApplication::processEvents();
    release = true;
    ASSERT_TRUE(WaitFor([&] { return !d->Busy(); }));
    EXPECT_TRUE(d->Button(CMultiCompositeDlg::kIdStart)->isEnabled());
    EXPECT_TRUE(d->Button(CMultiCompositeDlg::kIdAdd)->isEnabled());
    EXPECT_EQ(boxes_.size(), 1u);
}

TEST_F(MergeDialog, ClosingDuringAMergeStopsItAndRemovesTheOutput) {
    std::string output;
    {
        std::atomic<bool> started{false}, stop{false};  // outlive the dialog
        auto d = Make();
        AddThree(*d);
        d->m_runMerge = [&](const std::vector<std::string>& args) {
            output = args.at(7);
            started = true;
            while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return static_cast<int>(kConvertStopped);
        };
        d->m_stopMerge = [&] { stop = true; };
        d->Button(CMultiCompositeDlg::kIdStart)->click();
        ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    }  // the destructor stops and joins the worker
    EXPECT_FALSE(platform::FileExists(output.c_str()));
}

TEST_F(MergeDialog, CloseWritesTheOutputFolderAndEndsTheDialog) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = config ? config : "";
    setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
    {
        auto d = Make();
        d->Button(CMultiCompositeDlg::kIdClose)->click();
        QCoreApplication::processEvents();
        EXPECT_EQ(d->result(), QDialog::Accepted);
        const OutputFolder read = ReadOutputFolder();
        EXPECT_TRUE(read.fromFile);
        EXPECT_EQ(read.path, folder_);
    }
    if (saved.empty())
        unsetenv("XDG_CONFIG_HOME");
    else
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

// ------------------------------------------------------------------ list

TEST(OwnerDrawnList, ProgressSplitsAcrossColumns) {
    // 50% of four columns: columns 0 and 1 done, nothing of 2 and 3.
    RowProgress half = SplitProgress(4, 50, 400);
    EXPECT_EQ(half.doneColumns, 2);
    EXPECT_EQ(half.splitPixels, 0);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(DoneWidth(half, c, 100), c < 2 ? 100 : 0) << c;
    // 60%: column 2 split (60 - 50) * 400 / 100 = 40 px from its left edge.
    RowProgress more = SplitProgress(4, 60, 400);
    EXPECT_EQ(more.doneColumns, 2);
    EXPECT_EQ(DoneWidth(more, 2, 100), 40);
    EXPECT_EQ(DoneWidth(more, 3, 100), 0);
    // Out of range percents clamp; no columns, nothing done.
    EXPECT_EQ(DoneWidth(SplitProgress(4, 150, 400), 3, 100), 100);
    EXPECT_EQ(DoneWidth(SplitProgress(4, -5, 400), 0, 100), 0);
    EXPECT_EQ(SplitProgress(0, 50, 400).doneColumns, 0);
}

TEST(OwnerDrawnList, CellWinsOverColumnOverList) {
    ASSERT_NE(testutil::QtApplication::Get(), nullptr);
    CListCtrlCl list;
    list.SetColumn(0, "a", 100);
    list.SetColumn(1, "b", 100);
    const QColor white(255, 255, 255), red(255, 0, 0), blue(0, 0, 255), green(0, 128, 0);
    list.SetBackground(white);
    list.SetColumnColor(1, red);
    list.SetCellColor(0, 1, blue);
    EXPECT_EQ(list.CellBackground(0, 1), blue);
    EXPECT_EQ(list.CellBackground(1, 1), red);
    EXPECT_EQ(list.CellBackground(1, 0), white);

    list.SetDefaultTextColor(green);
    list.SetCellTextColor(2, 0, blue);  // a cell colour without a column colour
    list.SetColumnTextColor(0, red);
    EXPECT_EQ(list.CellTextColor(2, 0), blue);
    EXPECT_EQ(list.CellTextColor(1, 0), red);
    EXPECT_EQ(list.CellTextColor(1, 1), green);

    list.Header()->SetAlignment("012");
    EXPECT_EQ(list.Header()->AlignmentOf(0), Qt::AlignLeft);
    EXPECT_EQ(list.Header()->AlignmentOf(1), Qt::AlignHCenter);
    EXPECT_EQ(list.Header()->AlignmentOf(2), Qt::AlignRight);
    EXPECT_EQ(list.Header()->AlignmentOf(5), Qt::AlignLeft);
    // Right of the last column: 8 less per row, never below 0.
    EXPECT_EQ(list.Header()->EdgeLineColor(0), QColor(171, 199, 235));
    EXPECT_EQ(list.Header()->EdgeLineColor(22), QColor(0, 23, 59));
    EXPECT_EQ(list.Header()->EdgeLineColor(40), QColor(0, 0, 0));
}

TEST(OwnerDrawnList, LeavingAcrossTheBorderNotifiesTheParent) {
    ASSERT_NE(testutil::QtApplication::Get(), nullptr);
    // The inner area of 400 x 300 is x 5..394, y 26..294.
    const QSize client(400, 300);
    EXPECT_TRUE(OutsideInnerArea(client, QPoint(200, 10)));  // the header
    EXPECT_FALSE(OutsideInnerArea(client, QPoint(200, 26)));
    EXPECT_FALSE(OutsideInnerArea(client, QPoint(5, 294)));
    EXPECT_TRUE(OutsideInnerArea(client, QPoint(4, 100)));
    EXPECT_TRUE(OutsideInnerArea(client, QPoint(395, 100)));
    EXPECT_TRUE(OutsideInnerArea(client, QPoint(200, 295)));

    MessageSink parent;
    parent.resize(500, 400);
    auto* list = new CListCtrlCl(&parent);
    list->SetColumn(0, "a", 100);
    list->setGeometry(0, 0, 400, 300);
    parent.show();
    auto moveOver = [](QWidget* w, QPoint p) {
        QMouseEvent move(QEvent::MouseMove, QPointF(p), QPointF(w->mapToGlobal(p)), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &move);
    };
    auto leave = [&] {
        QEvent e(QEvent::Leave);
        QCoreApplication::sendEvent(list, &e);
        QCoreApplication::processEvents();
    };
    // From the middle of the rows: no notice.
    moveOver(list->viewport(), list->viewport()->rect().center());
    EXPECT_FALSE(OutsideInnerArea(list->size(), list->Pointer()));
    leave();
    EXPECT_EQ(parent.Count(WM_LIST_NOTIFY), 0);
    // From the header: one notice.
    moveOver(list->Header()->viewport(), QPoint(50, 5));
    EXPECT_LT(list->Pointer().y(), 26);
    leave();
    EXPECT_EQ(parent.Count(WM_LIST_NOTIFY), 1);
}

// ------------------------------------------------------------------ menu

TEST(PopupMenu, OnlyOpenAndExitDoSomething) {
    ASSERT_NE(testutil::QtApplication::Get(), nullptr);
    MessageSink target;
    CMyMenu menu(&target);
    for (int row = -1; row <= CMyMenu::kRows; ++row)
        EXPECT_EQ(menu.Enabled(row), row == 0 || row == 7) << row;
    EXPECT_EQ(menu.ItemAt(QPoint(50, 0)), 0);
    EXPECT_EQ(menu.ItemAt(QPoint(50, 24)), 0);
    EXPECT_EQ(menu.ItemAt(QPoint(50, 25)), 1);
    EXPECT_EQ(menu.ItemAt(QPoint(170, 199)), 7);
    EXPECT_EQ(menu.ItemAt(QPoint(50, 200)), -1);
    EXPECT_EQ(menu.ItemAt(QPoint(-1, 10)), -1);

    menu.Popup(QPoint(10, 10));
    EXPECT_TRUE(menu.isVisible());
    menu.Choose(3);  // disabled: hides, posts nothing
    EXPECT_FALSE(menu.isVisible());
    menu.Choose(0);
    menu.Choose(7);
    QCoreApplication::processEvents();
    EXPECT_EQ(target.received, std::vector<int>({WM_OPEN_FILE, WM_CLOSE_APP}));
}

}  // namespace
