// Requesters: the message box, the folder requester and the
// multi-selection open-file requester, with the answer queues that let tests
// stand in for a person.
//
// Two forms share one builder per dialog: the blocking one runs the dialog's
// own event loop, during which nothing else of ours runs; the window-modal
// one (a "question") shows the dialog and returns its number, and the answer
// reaches the event FIFO when the person gives it. A question lives in the
// table of open questions until it is answered, closed by the program, or
// dies with its window; only the first of these ends it.
//
// Only the dialog itself is replaced by a queued answer: the path rules
// (trailing "/", the first path of a selection, the rest handed out one by
// one, a cancel forgetting the earlier selection) run the same either way.
#include "toolkit_qt.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QTreeView>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>

#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace {

struct ui_requester_state {
    std::deque<int> message_answers;                   // queued message-box buttons
    std::deque<std::string> folder_answers;            // queued folders ("" = cancel)
    std::deque<std::vector<std::string>> file_answers; // queued selections ({} = cancel)
    void (*observer)(const char*, const char*);        // sees every message box
    std::deque<std::string> selection;                 // rest of the last selection
    std::string last_folder;                           // folder of the last chosen file
    std::map<int, QPointer<QDialog>> questions;        // open, unanswered questions by number
    int last_question;                                 // number of the last question asked
};

ui_requester_state& ui_req()
{
    static ui_requester_state state{{}, {}, {}, nullptr, {}, {}, {}, 0};
    return state;
}

// "\r" breaks the line; "\r\n" is one break, not two.
QString ui_box_text(const char* text)
{
    QString t = ui_qs(text);
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return t;
}

// The folder and name parts of a path, split at its last "/".
void ui_split_path(const std::string& path, std::string& folder, std::string& name)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder.clear();
        name = path;
    } else {
        folder = path.substr(0, slash + 1);
        name = path.substr(slash + 1);
    }
}

// A preset file name is dropped when it could not name a file.
bool ui_usable_name(const std::string& name)
{
    if (name.empty())
        return false;
    for (unsigned char ch : name)
        if (ch < 32 || std::string("\"*/:<>?\\|").find(static_cast<char>(ch)) != std::string::npos)
            return false;
    return true;
}

// "label|filter|label|filter" as Qt's name filters. "*.*" means every file
// here, including names without a dot.
QStringList ui_name_filters(const char* pattern)
{
    QStringList parts = ui_qs(pattern).split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString label = parts[i].trimmed();
        int paren = static_cast<int>(label.lastIndexOf(QLatin1Char('(')));
        if (paren > 0 && label.endsWith(QLatin1Char(')')))
            label = label.left(paren).trimmed();
        QStringList globs = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& g : globs)
            if (g.trimmed() == QStringLiteral("*.*"))
                g = QStringLiteral("*");
        filters << label + QStringLiteral(" (") + globs.join(QLatin1Char(' ')) + QStringLiteral(")");
    }
    return filters;
}

// Where the file requester opens: the preset folder, else the folder a file
// was last chosen in, else the home folder; never the program's working
// folder, which means nothing to the user.
QString ui_start_folder(const std::string& preset)
{
    for (const std::string& f : {preset, ui_req().last_folder})
        if (!f.empty() && QDir(ui_qs(f.c_str())).exists())
            return ui_qs(f.c_str());
    return QDir::homePath();
}

// Qt's own file dialog (no desktop portal here), sized so that names, sizes
// and dates are read in full. It opens in the preset's folder with its name
// selected when that could name a file.
QFileDialog* ui_make_file_dialog(QWidget* owner, const char* title, const char* default_file,
                                 const char* pattern, int pattern_index, bool several)
{
    std::string folder, name;
    ui_split_path(default_file ? default_file : "", folder, name);
    if (!ui_usable_name(name))
        name.clear();
    QStringList filters = ui_name_filters(pattern ? pattern : "");
    auto* dialog = new QFileDialog(owner, ui_qs(title), ui_start_folder(folder));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(several ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    dialog->setNameFilters(filters);
    if (pattern_index >= 0 && pattern_index < filters.size())
        dialog->selectNameFilter(filters[pattern_index]);
    if (!name.empty())
        dialog->selectFile(ui_qs(name.c_str()));
    dialog->setViewMode(QFileDialog::Detail);
    dialog->resize(720, 440);
    if (auto* view = dialog->findChild<QTreeView*>()) {
        QFontMetrics m(view->font());
        view->header()->setMinimumSectionSize(m.horizontalAdvance(QStringLiteral("Date Modified")) + 24);
        view->header()->resizeSection(0, 320);
        // Names are read in full once the folder is listed (in the
        // background); a long one widens the column, never narrows it.
        if (auto* model = dialog->findChild<QFileSystemModel*>())
            QObject::connect(model, &QFileSystemModel::directoryLoaded, view, [view] {
                int before = view->header()->sectionSize(0);
                view->resizeColumnToContents(0);
                if (view->header()->sectionSize(0) < before)
                    view->header()->resizeSection(0, before);
            });
    }
    return dialog;
}

// The paths a files requester gave, as its caller sees them: one only unless
// several were allowed. The folder of the first is where the next requester
// opens.
std::vector<std::string> ui_files_taken(std::vector<std::string> chosen, bool several)
{
    if (!several && chosen.size() > 1)
        chosen.resize(1);
    if (!chosen.empty()) {
        std::string name;
        ui_split_path(chosen[0], ui_req().last_folder, name);
    }
    return chosen;
}

// What every message box does first: the observer sees it, then a queued
// answer stands in for the person, or, with no display, the answer Escape
// would give. False when a real box must open.
bool ui_box_preset(const char* title, const char* text, bool yes_no, int& answer)
{
    ui_requester_state& r = ui_req();
    if (r.observer)
        r.observer(title ? title : "", text ? text : "");
    if (!r.message_answers.empty()) {
        answer = r.message_answers.front();
        r.message_answers.pop_front();
        return true;
    }
    if (!ui_st().ready) {
        answer = yes_no ? IDNO : IDOK;
        return true;
    }
    return false;
}

// The message box of both forms, not yet shown.
QMessageBox* ui_make_box(QWidget* owner, const char* title, const char* text, bool yes_no)
{
    auto* box = new QMessageBox(owner);
    box->setWindowTitle(ui_title(title));
    // An offered file name reaches the user here: shown as it is, never as
    // markup that could load a file of the sender's choosing.
    box->setTextFormat(Qt::PlainText);
    box->setText(ui_box_text(text));
    // The box is as wide as its text, but the window manager cuts a longer
    // title: a spacer row keeps room for the title in a bold face and for
    // the title bar's icon and buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
        QFont bold = QApplication::font();
        bold.setBold(true);
        int need = QFontMetrics(bold).horizontalAdvance(box->windowTitle()) + 120;
        grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    if (yes_no) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    return box;
}

// The answer of a finished box (nullptr: it died first). The title-bar close
// finishes the box before it records the escape button as clicked, so
// anything but a click on Yes is No.
int ui_box_answer(QMessageBox* box, bool yes_no)
{
    if (!yes_no)
        return IDOK;
    return box && box->clickedButton() == box->button(QMessageBox::Yes) ? IDYES : IDNO;
}

// The window a question stays over: `parent_window` while it is open and
// shown, else the first titled window shown (the main window). Never a popup,
// and never a hidden window, which would keep the question out of sight.
QWidget* ui_question_owner(int parent_window)
{
    auto usable = [](const ui_window* w) {
        return w && w->widget && !(w->flags & WINDOW_POPUP) && w->widget->isVisible();
    };
    ui_window* preferred = ui_find_window(parent_window);
    if (usable(preferred))
        return preferred->widget;
    for (auto& [number, win] : ui_st().windows)
        if (usable(&win))
            return win.widget;
    return nullptr;
}

// Shows `dialog` window-modal as question `id`. `read` turns the dialog's
// result into the answer and paths; `lost` is the answer when the dialog dies
// unanswered with its window.
void ui_question_show(int id, QDialog* dialog, int lost,
                      std::function<int(int result, std::vector<std::string>& files)> read)
{
    ui_req().questions[id] = dialog;
    QObject::connect(dialog, &QDialog::finished, dialog, [id, dialog, read](int result) {
        if (!ui_req().questions.erase(id))
            return;
        std::vector<std::string> files;
        int answer = read(result, files);
        ui_queue_answer(id, answer, std::move(files));
        dialog->deleteLater();
    });
    // No context object: the lambda must still run while the dialog dies.
    QObject::connect(dialog, &QObject::destroyed, [id, lost] {
        if (ui_req().questions.erase(id))
            ui_queue_answer(id, lost, {});
    });
    dialog->setWindowModality(Qt::WindowModal);
    // A question arriving while the user types takes no key meant for the field.
    ui_hold_focus_while_typing(dialog);
    dialog->show();
}

}  // namespace

int message_box(const char* title, const char* text, int flags)
{
    bool yes_no = flags == MB_YESNO;
    int answer = 0;
    if (ui_box_preset(title, text, yes_no, answer))
        return answer;
    // Held by a guard: the box dies with its owner if that closes meanwhile.
    QPointer<QMessageBox> box = ui_make_box(ui_dialog_owner(), title, text, yes_no);
    box->exec();
    answer = ui_box_answer(box, yes_no);
    delete box.data();
    return answer;
}

std::string folder_requester(const char* title, const char* initial_folder)
{
    ui_requester_state& r = ui_req();
    std::string initial = initial_folder ? initial_folder : "";
    // The folder itself is pre-selected, not its contents; "/" stays "/".
    if (initial.size() > 1 && initial.back() == '/')
        initial.pop_back();
    std::string chosen;
    if (!r.folder_answers.empty()) {
        chosen = r.folder_answers.front();
        r.folder_answers.pop_front();
    } else if (ui_st().ready) {
        chosen = ui_bytes(QFileDialog::getExistingDirectory(ui_dialog_owner(), ui_qs(title), ui_qs(initial.c_str()),
                                                            QFileDialog::ShowDirsOnly));
    }
    if (chosen.empty())
        return "";
    if (chosen.back() != '/')
        chosen += '/';
    return chosen;
}

std::string open_files_requester(const char* title, const char* default_file, const char* pattern,
                                 int pattern_index, int flags)
{
    ui_requester_state& r = ui_req();
    // Bit 1 (value 1 or 2, as callers count bits from 0 or 1) allows several.
    bool several = (flags & 3) != 0;
    std::vector<std::string> chosen;
    if (!r.file_answers.empty()) {
        chosen = r.file_answers.front();
        r.file_answers.pop_front();
    } else if (ui_st().ready) {
        QPointer<QFileDialog> dialog =
            ui_make_file_dialog(ui_dialog_owner(), title, default_file, pattern, pattern_index, several);
        if (dialog->exec() == QDialog::Accepted && dialog)
            for (const QString& p : dialog->selectedFiles())
                chosen.push_back(ui_bytes(p));
        delete dialog.data();
    }
    chosen = ui_files_taken(std::move(chosen), several);
    r.selection.clear();
    if (chosen.empty())
        return "";
    for (std::size_t i = 1; i < chosen.size(); i++)
        r.selection.push_back(chosen[i]);
    return chosen[0];
}

std::string next_selected_file()
{
    ui_requester_state& r = ui_req();
    if (r.selection.empty())
        return "";
    std::string next = r.selection.front();
    r.selection.pop_front();
    return next;
}

// --- Questions that do not wait ------------------------------------------------

int message_box_open(const char* title, const char* text, int flags, int parent_window)
{
    bool yes_no = flags == MB_YESNO;
    int id = ++ui_req().last_question;
    int answer = 0;
    if (ui_box_preset(title, text, yes_no, answer)) {
        ui_queue_answer(id, answer, {});
        return id;
    }
    QMessageBox* box = ui_make_box(ui_question_owner(parent_window), title, text, yes_no);
    ui_question_show(id, box, yes_no ? IDNO : IDOK, [box, yes_no](int, std::vector<std::string>&) {
        return ui_box_answer(box, yes_no);
    });
    return id;
}

int files_requester_open(const char* title, const char* default_file, const char* pattern, int pattern_index,
                         int flags)
{
    ui_requester_state& r = ui_req();
    bool several = (flags & 3) != 0;  // as open_files_requester
    int id = ++r.last_question;
    if (!r.file_answers.empty() || !ui_st().ready) {
        std::vector<std::string> chosen;
        if (!r.file_answers.empty()) {
            chosen = r.file_answers.front();
            r.file_answers.pop_front();
        }
        chosen = ui_files_taken(std::move(chosen), several);
        int answer = chosen.empty() ? IDNO : IDOK;
        ui_queue_answer(id, answer, std::move(chosen));
        return id;
    }
    QFileDialog* dialog = ui_make_file_dialog(ui_question_owner(0), title, default_file, pattern, pattern_index,
                                              several);
    ui_question_show(id, dialog, IDNO, [dialog, several](int result, std::vector<std::string>& files) {
        std::vector<std::string> chosen;
        if (result == QDialog::Accepted)
            for (const QString& p : dialog->selectedFiles())
                chosen.push_back(ui_bytes(p));
        files = ui_files_taken(std::move(chosen), several);
        return files.empty() ? IDNO : IDOK;
    });
    return id;
}

void question_close(int id)
{
    ui_requester_state& r = ui_req();
    auto it = r.questions.find(id);
    if (it != r.questions.end()) {
        QPointer<QDialog> dialog = it->second;
        // Out of the table first: neither its finishing nor its death answers.
        r.questions.erase(it);
        delete dialog.data();
    }
    ui_drop_answer(id);
}

void ui_questions_close_all()
{
    while (!ui_req().questions.empty())
        question_close(ui_req().questions.begin()->first);
}

// --- Test seams ---------------------------------------------------------------

void ui_test_queue_message_answer(int button)
{
    ui_req().message_answers.push_back(button);
}

void ui_test_queue_folder_answer(const std::string& folder)
{
    ui_req().folder_answers.push_back(folder);
}

void ui_test_queue_files_answer(const std::string* paths, int count)
{
    std::vector<std::string> answer;
    for (int i = 0; paths && i < count; i++)
        answer.push_back(paths[i]);
    ui_req().file_answers.push_back(answer);
}

void ui_test_set_message_observer(void (*observer)(const char* title, const char* text))
{
    ui_req().observer = observer;
}
