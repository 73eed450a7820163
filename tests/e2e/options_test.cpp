// The options window, driven from inside its own loop: the port field
// during and outside a call, how the port is read and when the settings
// file is written, the check boxes, an empty nickname, the folder change and
// its cancellation, the help, and what the main window ignores meanwhile.
#include "call_fixture.h"

#include "layouts.h"

#include "files.h"
#include "user_folders.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

#include <unistd.h>

#include <functional>
#include <string>

namespace {

using Options = CallFixture;

const char help_page[] = "https://forum.jox.example/viewforum.php?f=4";

// Opens the options window, runs `edit` inside it once it is up, then
// ends it with `end` ("OK" by default) and runs the program until the
// window is gone.
int edit_options(const std::function<void()>& edit, const std::function<void()>& end = [] { harness_click(16); })
{
    harness_click(4);
    harness_inside([edit, end] {
        if (!window_handle(1)) return false;
        edit();
        end();
        return true;
    });
    return pump_until([] { return harness_inside_pending() == 0 && !window_handle(1); }, 5000,
                      "the options window to close after OK");
}

std::string config_line(const std::string& config, const std::string& key)
{
    std::string::size_type at = config.find(key + " = ");
    if (at == std::string::npos) return "<missing>";
    return config.substr(at, config.find("\r\n", at) - at);
}

}  // namespace

TEST_F(Options, PortFieldIsLockedDuringACall)
{
    for (int in_call : {0, 1}) {
        restart_clean();
        start();
        if (in_call) be_called();
        int port_enabled = -1;
        std::string shown_port, shown_nickname;
        ASSERT_TRUE(edit_options([&] {
            port_enabled = control_enabled(20);
            shown_port = control_get_text(20);
            shown_nickname = control_get_text(27);
        }));
        EXPECT_EQ(port_enabled, in_call ? 0 : 1);
        EXPECT_EQ(shown_port, std::to_string(port));
        EXPECT_EQ(shown_nickname, "");  // never the field's first text
    }
}

TEST_F(Options, PortOutOfRangeOrWithLettersIsRefusedAndTheRestIsKept)
{
    struct Case {
        const char* field;
        int port;     // 0: the port stays as it was
        int written;
    } cases[] = {{"7000abc", 0, 1}, {"  7001", 7001, 1}, {"abc", 0, 1}, {"0", 0, 1},
                 {"-5", 0, 1}, {"65536", 0, 1}};
    for (const Case& c : cases) {
        restart_clean();
        start();
        std::string before = harness_read_file(dir + "jox.cfg");
        ASSERT_TRUE(edit_options([&] {
            control_set_text(20, c.field);
            control_set_text(27, "Zed");
            harness_click(24);
        }));
        int want = c.port ? c.port : port;
        EXPECT_EQ(app.port, want) << c.field;
        EXPECT_EQ(app.nickname, "Zed") << c.field;  // kept in memory either way
        ASSERT_FALSE(harness_messages().empty()) << c.field;
        EXPECT_EQ(harness_messages().back().text.find(c.port ? "next start" : "must be a number") !=
                      std::string::npos, true) << harness_messages().back().text;
        std::string after = harness_read_file(dir + "jox.cfg");
        if (c.written) {
            EXPECT_EQ(config_line(after, "Port"), "Port = " + std::to_string(want)) << c.field;
            EXPECT_EQ(config_line(after, "Nickname"), "Nickname = Zed") << c.field;
            EXPECT_EQ(config_line(after, "Auto Accept"), "Auto Accept = Yes") << c.field;
        } else {
            EXPECT_EQ(after, before) << c.field;
        }
    }
}

TEST_F(Options, CheckBoxesAreWrittenAsYesOrNo)
{
    HarnessConfig config;
    config.auto_accept = "Yes";
    config.open_file = "No";
    start(config);
    int accept_shown = -1, open_shown = -1;
    ASSERT_TRUE(edit_options([&] {
        accept_shown = control_get_state(24);
        open_shown = control_get_state(25);
        harness_click(24);  // unchecks
        harness_click(25);  // checks
    }));
    EXPECT_EQ(accept_shown, 1);
    EXPECT_EQ(open_shown, 0);
    std::string written = harness_read_file(dir + "jox.cfg");
    EXPECT_EQ(config_line(written, "Auto Accept"), "Auto Accept = No");
    EXPECT_EQ(config_line(written, "Open File"), "Open File = Yes");
    EXPECT_EQ(app.auto_accept, "No");
    EXPECT_EQ(app.open_file, "Yes");
}

TEST_F(Options, EmptyNicknameSignsLinesAnonymouslyAndWidensTheInput)
{
    HarnessConfig config;
    config.nickname = "Annabel";
    start(config);
    std::string shown;
    ASSERT_TRUE(edit_options([&] {
        shown = control_get_text(27);
        control_set_text(27, "");
    }));
    EXPECT_EQ(shown, "Annabel");
    EXPECT_EQ(config_line(harness_read_file(dir + "jox.cfg"), "Nickname"), "Nickname = ");
    control_set_text(13, std::string(400, 'x').c_str());
    EXPECT_EQ(control_get_text(13).size(), 256u - 11 - 16 - 9 - 2);  // "Anonymous"
    control_set_text(13, "");
    be_called();
    ASSERT_TRUE(type_answered("hi"));
    harness_press_return(13);
    EXPECT_TRUE(pump_expect("mMeSSageJOXAnonymous: hiEeNdofMessageJOX", 2000));
    EXPECT_EQ(control_get_text(12), "Me: hi");
}

TEST_F(Options, FolderChangeIsSavedOnOkAndCancellingKeepsTheOldOne)
{
    start();
    std::string old_folder = dir + "Received Files/";
    std::string new_folder = dir + "elsewhere/";
    EXPECT_EQ(control_enabled(5), 0);
    ui_test_queue_folder_answer(new_folder);
    ASSERT_TRUE(edit_options([] { harness_click(18); }));
    EXPECT_EQ(app.receive_folder, new_folder);
    EXPECT_EQ(config_line(harness_read_file(dir + "jox.cfg"), "Folder"), "Folder = " + new_folder);
    EXPECT_EQ(config_line(harness_read_file(dir + "jox.cfg"), "Port"), "Port = " + std::to_string(port));
    // The folder in force before the change was created; the button works.
    EXPECT_EQ(file_size(old_folder.c_str()), -2);
    EXPECT_EQ(file_size(new_folder.c_str()), -1);  // the new one is not created here
    EXPECT_EQ(control_enabled(5), 1);

    harness_messages().clear();
    std::string before = harness_read_file(dir + "jox.cfg");
    ui_test_queue_folder_answer("");
    ASSERT_TRUE(edit_options([] { harness_click(18); }));
    ASSERT_EQ(harness_messages().size(), 1u);
    EXPECT_EQ(harness_messages()[0].text, "Change Default Folder is Cancelled.");
    EXPECT_EQ(app.receive_folder, new_folder);
    EXPECT_EQ(harness_read_file(dir + "jox.cfg"), before);
}

TEST_F(Options, HelpOpensTheShippedPageAndAsksOnlyWithoutOne)
{
    // The page is looked for beside the running binary, here the test's own.
    const std::string shipped = program_folder() + "help.html";
    struct Case {
        int program_there;
        int page_there;
        int answer;
        std::string opened;  // "": nothing opened
    } cases[] = {{0, 0, IDYES, help_page}, {0, 0, IDNO, ""}, {1, 1, 0, "help.exe"}, {0, 1, 0, shipped}};
    for (const Case& c : cases) {
        restart_clean();
        unlink((dir + "help.exe").c_str());
        unlink(shipped.c_str());
        if (c.program_there) harness_write_file(dir + "help.exe", "#!/bin/sh\n");
        if (c.page_there) harness_write_file(shipped, "<html></html>");
        start();
        if (c.answer) harness_answer_next(c.answer);
        ASSERT_TRUE(edit_options([] { harness_click(28); }));
        unlink(shipped.c_str());
        if (c.program_there || c.page_there) {
            EXPECT_TRUE(harness_messages().empty());
        } else {
            ASSERT_EQ(harness_messages().size(), 1u);
            EXPECT_EQ(harness_messages()[0].text, "No Help File Found.\rDo You Want to View Help Online?");
            EXPECT_EQ(harness_messages()[0].title, "JOX 1.05 build 6000");
        }
        if (!c.opened.empty()) {
            ASSERT_EQ(harness_runs().size(), 1u) << c.answer;
            EXPECT_EQ(harness_runs()[0].target, c.opened);
        } else {
            EXPECT_TRUE(harness_runs().empty());
        }
    }
}

TEST_F(Options, MainWindowIsIgnoredWhileOptionsAreOpen)
{
    start();
    control_set_text(0, "127.0.0.1");
    ASSERT_TRUE(edit_options([] {
        harness_close_window(0);
        harness_click(8);  // would refuse the address with a message box
    }));
    pump_for(200);
    EXPECT_FALSE(harness_loop_ended());
    EXPECT_TRUE(harness_messages().empty());
    EXPECT_NE(window_handle(0), nullptr);
}

// Names and folders are UTF-8 bytes end to end: Options -> OK writes back
// what the file held, the mark included, and a nickname that is not UTF-8
// keeps its bytes although the window could only show it with stand-ins.
TEST_F(Options, OkKeepsTextBytesAndTheFileMark)
{
    struct Case {
        std::string mark, nickname, folder;
    } cases[] = {
        {"\xEF\xBB\xBF", "Jos\xC3\xA9", "\xD0\x9F\xD1\x80\xD0\xB8\xD1\x91\xD0\xBC/"},
        {"\xEF\xBB\xBF", "\xD0\x9F\xD1\x80\xD0\xB8\xD1\x91\xD0\xBC", "Jos\xC3\xA9/"},
        {"", "Jos\xE9", "Received Files/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nickname);
        restart_clean();
        HarnessConfig config;
        config.port = port;
        config.nickname = c.nickname;
        config.folder = dir + c.folder;
        harness_write_config(dir, config);
        harness_write_file(dir + "jox.cfg", c.mark + harness_read_file(dir + "jox.cfg"));
        ASSERT_TRUE(harness_app_start(dir));
        EXPECT_EQ(app.receive_folder, dir + c.folder);
        ASSERT_TRUE(edit_options([] {}));
        std::string written = harness_read_file(dir + "jox.cfg");
        EXPECT_EQ(written.substr(0, c.mark.size()), c.mark);
        EXPECT_EQ(config_line(written, "Nickname"), "Nickname = " + c.nickname);
        EXPECT_EQ(config_line(written, "Folder"), "Folder = " + dir + c.folder);
    }
}

// Cancel, Escape and the title-bar close leave everything as it was, the
// settings file byte for byte; what the window shows meanwhile: the folder
// in force, what is wrong with the port as it is typed, no control that can
// never be used; it opens over the main window.
TEST_F(Options, CancelledChangesLeaveNothingBehind)
{
    const std::function<void()> ends[] = {
        [] { harness_click(CONTROL_OPTIONS_CANCEL); },
        [] { QTest::keyClick(static_cast<QWidget*>(control_handle(27)), Qt::Key_Escape); },
        [] { harness_close_window(WINDOW_OPTIONS); },
    };
    for (const auto& end : ends) {
        restart_clean();
        start();
        const std::string before = harness_read_file(dir + "jox.cfg"), folder = app.receive_folder;
        std::string shown_folder, chosen_folder, hint_bad, hint_good;
        int hidden = 0, centred = 0;
        ui_test_queue_folder_answer(dir + "elsewhere/");
        // Steps on turns of the window's own loop, as the user would act.
        harness_click(4);
        harness_inside([&] {
            if (!window_handle(WINDOW_OPTIONS)) return false;
            shown_folder = control_get_text(CONTROL_OPTIONS_FOLDER);
            harness_click(18);
            return true;
        });
        harness_inside([&] {
            chosen_folder = control_get_text(CONTROL_OPTIONS_FOLDER);
            if (chosen_folder == folder) return false;  // the click is taken on a later turn
            harness_type(20, "x");
            return true;
        });
        harness_inside([&] {
            hint_bad = control_get_text(CONTROL_OPTIONS_PORT_HINT);
            if (hint_bad.empty()) return false;
            control_set_text(20, "7123");
            return true;
        });
        harness_inside([&] {
            hint_good = control_get_text(CONTROL_OPTIONS_PORT_HINT);
            if (!hint_good.empty()) return false;
            control_set_text(27, "Zed");
            harness_click(24);
            hidden = static_cast<QWidget*>(control_handle(22))->isHidden() &&
                     static_cast<QWidget*>(control_handle(23))->isHidden();
            QWidget* options = static_cast<QWidget*>(window_handle(WINDOW_OPTIONS));
            QWidget* main = static_cast<QWidget*>(window_handle(WINDOW_MAIN));
            centred = (options->geometry().center() - main->geometry().center()).manhattanLength() <= 2;
            end();
            return true;
        });
        ASSERT_TRUE(pump_until([] { return harness_inside_pending() == 0 && !window_handle(WINDOW_OPTIONS); }, 5000));
        EXPECT_EQ(harness_read_file(dir + "jox.cfg"), before);
        EXPECT_EQ(app.receive_folder, folder);
        EXPECT_EQ(app.port, port);
        EXPECT_EQ(app.nickname, "");
        EXPECT_EQ(app.auto_accept, "No");
        EXPECT_EQ(shown_folder, folder);
        EXPECT_EQ(chosen_folder, dir + "elsewhere/");
        EXPECT_EQ(hint_bad, "A number from 1 to 65535");
        EXPECT_EQ(hint_good, "");
        EXPECT_TRUE(hidden);
        EXPECT_TRUE(centred);
    }
}
