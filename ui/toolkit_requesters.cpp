// Modal requesters: the message box, the folder requester and the
// multi-selection open-file requester, with the answer queues that let tests
// stand in for a person.
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

#include <deque>
#include <vector>

namespace {

struct ui_requester_state {
    std::deque<int> message_answers;                   // queued message-box buttons
    std::deque<std::string> folder_answers;            // queued folders ("" = cancel)
    std::deque<std::vector<std::string>> file_answers; // queued selections ({} = cancel)
    void (*observer)(const char*, const char*);        // sees every message box
    std::deque<std::string> selection;                 // rest of the last selection
    std::string last_folder;                           // folder of the last chosen file
};

ui_requester_state& ui_req()
{
    static ui_requester_state state{{}, {}, {}, nullptr, {}, {}};
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
// and dates are read in full.
QStringList ui_run_file_dialog(const char* title, const QString& folder, const std::string& name,
                               const QStringList& filters, int pattern_index, bool several)
{
    QFileDialog dialog(ui_dialog_owner(), ui_qs(title), folder);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(several ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    if (pattern_index >= 0 && pattern_index < filters.size())
        dialog.selectNameFilter(filters[pattern_index]);
    if (!name.empty())
        dialog.selectFile(ui_qs(name.c_str()));
    dialog.setViewMode(QFileDialog::Detail);
    dialog.resize(720, 440);
    if (auto* view = dialog.findChild<QTreeView*>()) {
        QFontMetrics m(view->font());
        view->header()->setMinimumSectionSize(m.horizontalAdvance(QStringLiteral("Date Modified")) + 24);
        view->header()->resizeSection(0, 320);
        // Names are read in full once the folder is listed (in the
        // background); a long one widens the column, never narrows it.
        if (auto* model = dialog.findChild<QFileSystemModel*>())
            QObject::connect(model, &QFileSystemModel::directoryLoaded, view, [view] {
                int before = view->header()->sectionSize(0);
                view->resizeColumnToContents(0);
                if (view->header()->sectionSize(0) < before)
                    view->header()->resizeSection(0, before);
            });
    }
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

}  // namespace

int message_box(const char* title, const char* text, int flags)
{
    ui_requester_state& r = ui_req();
    if (r.observer)
        r.observer(title ? title : "", text ? text : "");
    bool yes_no = flags == MB_YESNO;
    if (!r.message_answers.empty()) {
        int answer = r.message_answers.front();
        r.message_answers.pop_front();
        return answer;
    }
    if (!ui_st().ready)
        return yes_no ? IDNO : IDOK;
    QMessageBox box(ui_dialog_owner());
    box.setWindowTitle(ui_title(title));
    // An offered file name reaches the user here: shown as it is, never as
    // markup that could load a file of the sender's choosing.
    box.setTextFormat(Qt::PlainText);
    box.setText(ui_box_text(text));
    // The box is as wide as its text, but the window manager cuts a longer
    // title: a spacer row keeps room for the title in a bold face and for
    // the title bar's icon and buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        QFont bold = QApplication::font();
        bold.setBold(true);
        int need = QFontMetrics(bold).horizontalAdvance(box.windowTitle()) + 120;
        grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    if (yes_no) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    int pressed = box.exec();
    if (yes_no)
        return pressed == QMessageBox::Yes ? IDYES : IDNO;
    return IDOK;
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
        std::string folder, name;
        ui_split_path(default_file ? default_file : "", folder, name);
        if (!ui_usable_name(name))
            name.clear();
        for (const QString& p : ui_run_file_dialog(title, ui_start_folder(folder), name,
                                                   ui_name_filters(pattern ? pattern : ""), pattern_index, several))
            chosen.push_back(ui_bytes(p));
    }
    r.selection.clear();
    if (chosen.empty())
        return "";
    if (!several)
        chosen.resize(1);
    std::string name;
    ui_split_path(chosen[0], r.last_folder, name);
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
