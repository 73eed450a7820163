// The requesters' path rules and the message box, answered through the
// test seams (which replace only the dialog, not the rules around it).
#include "ui_fixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

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
