// The requesters' path rules and the message box, answered through the
// test seams (which replace only the dialog, not the rules around it), and
// the window-modal questions whose answers come back as events.
#include "ui_fixture.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <ostream>
#include <string>
#include <vector>

namespace {

using RequesterTest = UiTest;

TEST_F(RequesterTest, FolderEndsInSlashAndCancelIsEmpty)
{
    struct {
        const char* answer;
        const char* expected;
    } rows[] = {
        {"/data/Received Files", "/data/Received Files/"},
        {"/data/Received Files/", "/data/Received Files/"},
        {"/", "/"},
        {"", ""},
    };
    for (const auto& row : rows) {
        ui_test_queue_folder_answer(row.answer);
        EXPECT_EQ(folder_requester("Please Choose Default Path where to Receive Files:", "/data/"), row.expected)
            << row.answer;
    }
}

TEST_F(RequesterTest, MultipleSelectionIsHandedOutOneByOne)
{
    const std::string three[] = {"/tmp/d/a.txt", "/tmp/d/b.bin", "/tmp/d/c d.jpg"};
    ui_test_queue_files_answer(three, 3);
    EXPECT_EQ(open_files_requester("Select a file/s to send it/them", "", "All files (*.*)|*.*", 0, 1),
              "/tmp/d/a.txt");
    EXPECT_EQ(next_selected_file(), "/tmp/d/b.bin");
    EXPECT_EQ(next_selected_file(), "/tmp/d/c d.jpg");
    EXPECT_EQ(next_selected_file(), "");
    EXPECT_EQ(next_selected_file(), "");
}

TEST_F(RequesterTest, CancelAndSingleChoiceForgetTheEarlierSelection)
{
    const std::string two[] = {"/tmp/d/a", "/tmp/d/b"};
    const std::string one[] = {"/tmp/e/only"};

    ui_test_queue_files_answer(two, 2);
    ui_test_queue_files_answer(nullptr, 0);
    EXPECT_EQ(open_files_requester("t", "", "All files (*.*)|*.*", 0, 1), "/tmp/d/a");
    EXPECT_EQ(open_files_requester("t", "", "All files (*.*)|*.*", 0, 1), "");
    EXPECT_EQ(next_selected_file(), "");

    ui_test_queue_files_answer(two, 2);
    ui_test_queue_files_answer(one, 1);
    open_files_requester("t", "", "All files (*.*)|*.*", 0, 1);
    EXPECT_EQ(open_files_requester("t", "", "All files (*.*)|*.*", 0, 1), "/tmp/e/only");
    EXPECT_EQ(next_selected_file(), "");

    // Without the multiple-selection flag only one path comes back.
    ui_test_queue_files_answer(two, 2);
    EXPECT_EQ(open_files_requester("t", "", "All files (*.*)|*.*", 0, 0), "/tmp/d/a");
    EXPECT_EQ(next_selected_file(), "");
}

std::vector<std::string> seen_boxes;

void remember_box(const char* title, const char* text)
{
    seen_boxes.push_back(std::string(title) + "|" + text);
}

TEST_F(RequesterTest, MessageBoxGivesTheQueuedAnswerAndIsObserved)
{
    seen_boxes.clear();
    ui_test_set_message_observer(remember_box);
    ui_test_queue_message_answer(IDYES);
    ui_test_queue_message_answer(IDNO);
    ui_test_queue_message_answer(IDOK);
    EXPECT_EQ(message_box("JOX 1.05 build 6000", "Accept?\rfile.txt", MB_YESNO), IDYES);
    EXPECT_EQ(message_box("JOX 1.05 build 6000", "Again?", MB_YESNO), IDNO);
    EXPECT_EQ(message_box("JOX 1.05 build 6000", "Done.", MB_OK), IDOK);
    ui_test_set_message_observer(nullptr);
    ui_test_queue_message_answer(IDOK);
    message_box("unseen", "x", MB_OK);
    std::vector<std::string> expected = {"JOX 1.05 build 6000|Accept?\rfile.txt", "JOX 1.05 build 6000|Again?",
                                         "JOX 1.05 build 6000|Done."};
    EXPECT_EQ(seen_boxes, expected);
}

// With nothing queued the real modal windows open; a timer plays the person.
TEST_F(RequesterTest, RealDialogsAnswerThroughTheSameRules)
{
    QTimer::singleShot(50, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box) {
            EXPECT_EQ(box->text(), QString("first\nsecond"));
            box->button(QMessageBox::No)->click();
        }
    });
    EXPECT_EQ(message_box("title", "first\rsecond", MB_YESNO), IDNO);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::string folder = QDir(dir.path()).canonicalPath().toStdString();
    // The initial folder is pre-selected: accepting it gives it back with "/".
    QTimer::singleShot(50, [] {
        if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
            static_cast<QDialog*>(d)->accept();
    });
    EXPECT_EQ(folder_requester("Choose", (folder + "/").c_str()), folder + "/");

    QTimer::singleShot(50, [] {
        if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
            d->reject();
    });
    EXPECT_EQ(folder_requester("Choose", (folder + "/").c_str()), "");

    // "*.*" must show files without a dot too; the second pattern is shown
    // first; several files may be chosen; a usable preset name is kept.
    QStringList filters, chosen;
    QString shown;
    bool several = false;
    QTimer::singleShot(50, [&] {
        if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            filters = d->nameFilters();
            shown = d->selectedNameFilter();
            several = d->fileMode() == QFileDialog::ExistingFiles;
            chosen = d->selectedFiles();
            d->reject();
        }
    });
    std::string preset = folder + "/notes.txt";
    EXPECT_EQ(open_files_requester("Files", preset.c_str(), "All files (*.*)|*.*|Pictures|*.jpg;*.png", 1, 2), "");
    EXPECT_EQ(filters, QStringList({"All files (*)", "Pictures (*.jpg *.png)"}));
    EXPECT_EQ(shown, QString("Pictures (*.jpg *.png)"));
    EXPECT_TRUE(several);
    EXPECT_EQ(chosen, QStringList({QString::fromStdString(preset)}));

    // A preset name that could not name a file is dropped: the folder stays.
    QTimer::singleShot(50, [&] {
        if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            chosen = d->selectedFiles();
            d->reject();
        }
    });
    std::string bad = folder + "/a?b";
    EXPECT_EQ(open_files_requester("Files", bad.c_str(), "All files (*.*)|*.*", 0, 0), "");
    for (const QString& f : chosen)
        EXPECT_FALSE(f.endsWith("a?b")) << f.toStdString();
}

}  // namespace

namespace {

// The file requester opens where a file was last chosen, else at home, never
// in the working folder; its columns show a long name and a date in full.
TEST_F(RequesterTest, FileRequesterStartsWhereTheUserWasWithReadableColumns)
{
    QTemporaryDir dir;
    QString last = QDir(dir.path()).canonicalPath() + "/last", cwd = QDir::currentPath();
    QString long_name = "holiday pictures from the summer of 2026, the long walk.jpg";
    ASSERT_TRUE(QDir().mkpath(last) && QFile(last + "/" + long_name).open(QIODevice::WriteOnly));
    QDir::setCurrent(dir.path());
    const std::string chosen = (last + "/earlier.txt").toStdString();
    ui_test_queue_files_answer(&chosen, 1);
    open_files_requester("Files", "", "All files (*.*)|*.*", 0, 2);
    for (const QString& expected : {last, QDir::homePath()}) {
        if (expected != last)
            QDir(last).removeRecursively();
        QString opened;
        int narrow = 1;
        QTimer::singleShot(300, [&] {
            auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QTreeView* view = d ? d->findChild<QTreeView*>() : nullptr;
            if (view) {
                opened = d->directory().canonicalPath();
                QFontMetrics m(view->font());
                narrow = (expected == last && view->header()->sectionSize(0) < m.horizontalAdvance(long_name)) +
                         (view->header()->sectionSize(3) < m.horizontalAdvance("2026-12-07 18:40"));
                d->reject();
            }
        });
        open_files_requester("Files", "", "All files (*.*)|*.*", 0, 2);
        EXPECT_EQ(opened.toStdString(), expected.toStdString());
        EXPECT_EQ(narrow, 0) << expected.toStdString();
    }
    QDir::setCurrent(cwd);
}

}  // namespace

namespace {

struct answered {
    int id;
    int answer;
    std::vector<std::string> files;
    bool operator==(const answered&) const = default;
};

void PrintTo(const answered& a, std::ostream* os)
{
    *os << "{id " << a.id << ", answer " << a.answer << ", " << a.files.size() << " files}";
}

// Polls until the FIFO is empty and keeps the answers.
std::vector<answered> poll_answers()
{
    std::vector<answered> out;
    for (int i = 0, code; i < 10000 && (code = ui_poll_event()) != EVENT_NONE; i++)
        if (code == EVENT_ANSWER)
            out.push_back({ui_event_answer_id(), ui_event_answer(), ui_event_files()});
    return out;
}

template <class Dialog>
Dialog* shown()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<Dialog*>(w); d && d->isVisible())
            return d;
    return nullptr;
}

// A window-modal box leaves the loop running; its one answer arrives as an
// event, whichever way the person (or the program) ends it.
TEST_F(RequesterTest, WindowModalBoxAnswersLaterThroughTheFifo)
{
    enum { CLICK_YES, ESCAPE, TITLE_CLOSE, QUESTION_CLOSE, OWNER_CLOSED };
    struct {
        int flags, parent, owner, action;
        std::vector<int> answers;
    } rows[] = {
        {MB_YESNO, 0, 0, CLICK_YES, {IDYES}},    {MB_YESNO, 1, 1, ESCAPE, {IDNO}},
        {MB_YESNO, 3, 0, TITLE_CLOSE, {IDNO}},   {MB_OK, 0, 0, ESCAPE, {IDOK}},
        {MB_YESNO, 0, 0, QUESTION_CLOSE, {}},     {MB_YESNO, 1, 1, OWNER_CLOSED, {IDNO}},
    };
    seen_boxes.clear();
    ui_test_set_message_observer(remember_box);
    QObject guard;  // a box that blocked the caller would be ended here, failing the row, not hanging it
    QTimer::singleShot(5000, &guard, [] { if (QWidget* m = QApplication::activeModalWidget()) m->close(); });
    for (const auto& row : rows) {
        window_open(0, 10, 10, 300, 200, "main", WINDOW_TITLE);
        window_open(1, 40, 40, 200, 100, "options", WINDOW_TITLE);
        int id = message_box_open("title", "Accept?\rfile.txt", row.flags, row.parent);
        EXPECT_TRUE(poll_answers().empty()) << row.action;
        auto* box = shown<QMessageBox>();
        ASSERT_TRUE(box) << row.action;
        EXPECT_EQ(box->parentWidget(), window_handle(row.owner)) << row.action;
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        EXPECT_EQ(box->text(), QString("Accept?\nfile.txt"));
        switch (row.action) {
        case CLICK_YES: QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton); break;
        case ESCAPE: QTest::keyClick(box, Qt::Key_Escape); break;
        case TITLE_CLOSE: box->close(); break;
        case QUESTION_CLOSE: question_close(id); break;
        case OWNER_CLOSED: window_close(1); break;
        }
        std::vector<answered> expected;
        for (int a : row.answers)
            expected.push_back({id, a, {}});
        EXPECT_EQ(poll_answers(), expected) << row.action;
        EXPECT_FALSE(shown<QMessageBox>()) << row.action;
    }
    ui_test_set_message_observer(nullptr);
    EXPECT_EQ(seen_boxes.size(), std::size(rows));

    // The files requester the same way: accepting the preset file chooses it.
    QTemporaryDir dir;
    std::string file = QDir(dir.path()).canonicalPath().toStdString() + "/notes.txt";
    ASSERT_TRUE(QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly));
    int id = files_requester_open("Files", file.c_str(), "All files (*.*)|*.*", 0, 1);
    EXPECT_TRUE(poll_answers().empty());
    auto* dialog = shown<QFileDialog>();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    static_cast<QDialog*>(dialog)->accept();
    EXPECT_EQ(poll_answers(), (std::vector<answered>{{id, IDOK, {file}}}));
}

// Queued answers stand in for the person without a window; so does the
// default answer without a display. A closed question's answer is dropped.
TEST_F(RequesterTest, QueuedAnswersArriveAtOnceAsEvents)
{
    const std::vector<std::string> two = {"/tmp/d/a", "/tmp/d/b"};
    struct {
        bool files;
        int flags, queued;
        std::vector<std::string> chosen;
        bool close;
        std::vector<answered> expected;  // id 1 stands for the number returned
    } rows[] = {
        {false, MB_YESNO, IDYES, {}, false, {{1, IDYES, {}}}},
        {false, MB_OK, IDOK, {}, false, {{1, IDOK, {}}}},
        {false, MB_YESNO, IDYES, {}, true, {}},
        {true, 1, 0, two, false, {{1, IDOK, two}}},
        {true, 0, 0, two, false, {{1, IDOK, {"/tmp/d/a"}}}},
        {true, 1, 0, {}, false, {{1, IDNO, {}}}},
    };
    seen_boxes.clear();
    ui_test_set_message_observer(remember_box);
    for (const auto& row : rows) {
        int id;
        if (row.files) {
            ui_test_queue_files_answer(row.chosen.data(), static_cast<int>(row.chosen.size()));
            id = files_requester_open("Files", "", "All files (*.*)|*.*", 0, row.flags);
        } else {
            ui_test_queue_message_answer(row.queued);
            id = message_box_open("t", "queued", row.flags);
        }
        QElapsedTimer clock;
        clock.start();
        if (row.close)
            question_close(id);
        else
            ui_idle_wait(3000, nullptr, 0);  // a pending answer ends the wait at once
        EXPECT_LT(clock.elapsed(), 1000);
        std::vector<answered> expected = row.expected;
        for (answered& a : expected)
            a.id = id;
        EXPECT_EQ(poll_answers(), expected) << row.queued << row.flags;
        EXPECT_FALSE(shown<QDialog>());
    }
    EXPECT_EQ(seen_boxes.size(), 3u);

    ui_shutdown();
    int box = message_box_open("t", "no display", MB_YESNO), files = files_requester_open("t", "", "", 0, 1);
    EXPECT_EQ(poll_answers(), (std::vector<answered>{{box, IDNO, {}}, {files, IDNO, {}}}));
    ui_test_set_message_observer(nullptr);
}

}  // namespace
