// Texts from a peer (nicknames, file names, chat) reach every surface of the
// toolkit: each shows them literally, loads nothing they name, and keeps
// UTF-8 bytes as they are.
#include "layouts.h"
#include "ui_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>
#include <QWindow>

#include <string>

namespace {

// What a person sees of a text that Qt may take for markup.
std::string shown(const QString& text, bool plain)
{
    if (plain || !Qt::mightBeRichText(text))
        return text.toStdString();
    QTextDocument doc;
    doc.setHtml(text);
    return doc.toPlainText().toStdString();
}

std::string shown(QLabel* label)
{
    return shown(label->text(), label->textFormat() == Qt::PlainText);
}

// The title the window system is given, "[*]" rules applied.
std::string shown_title(QWidget* w)
{
    return w->windowHandle() ? w->windowHandle()->title().toStdString() : "";
}

// The text field of the main window's status bar (the icon is the other
// label there).
QLabel* status_label()
{
    auto* bar = static_cast<QWidget*>(window_handle(WINDOW_MAIN))->findChild<QStatusBar*>();
    for (QLabel* l : bar->findChildren<QLabel*>())
        if (l->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored)
            return l;
    return nullptr;
}

class PlainTextTest : public UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        ASSERT_TRUE(dir.isValid());
        // A picture a peer could name: drawn, it would make a label tall.
        picture = dir.filePath("tall.png").toStdString();
        ASSERT_TRUE(QImage(40, 300, QImage::Format_RGB32).save(QString::fromStdString(picture)));
        build_main_window();
        controls_begin(window_handle(WINDOW_MAIN));
        control_text(40, 10, 10, 200, 14, "", 0);
    }
    QTemporaryDir dir;
    std::string picture;
};

TEST_F(PlainTextTest, EverySurfaceShowsMarkupLiterally)
{
    const std::string rows[] = {
        "<img src=\"/dev/zero\">",
        "<img src=\"&#47;dev&#47;zero\">",
        "<h1><font color=red>Mallory</font></h1>",
        "<img src=\"" + picture + "\">",
        "Alice [*] & Bob",
    };
    QLabel* label = static_cast<QLabel*>(widget_of(40));
    QLabel* status = status_label();
    ASSERT_NE(status, nullptr);
    for (const std::string& text : rows) {
        SCOPED_TRACE(text);
        const char* t = text.c_str();
        control_set_text(40, t);
        EXPECT_EQ(shown(label), text);
        EXPECT_LT(label->sizeHint().height(), 100);  // no picture drawn
        statusbar_set_text(0, 0, t, STATUS_BORDERLESS);
        EXPECT_EQ(shown(status), text);
        EXPECT_LT(status->sizeHint().height(), 100);
        control_tooltip(40, t);
        EXPECT_EQ(shown(label->toolTip(), false), text);
        control_clear_items(12);
        control_add_item(12, -1, t);
        EXPECT_EQ(control_get_text(12), text);
        ASSERT_NE(window_open(2, 0, 0, 200, 50, t, WINDOW_TITLE), 0);
        EXPECT_EQ(shown_title(static_cast<QWidget*>(window_handle(2))), text);

        std::string box_text, box_title;
        QTimer::singleShot(20, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                if (auto* l = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
                    box_text = shown(l);
                box_title = shown_title(box);
                box->button(QMessageBox::Ok)->click();
            }
        });
        message_box(t, t, MB_OK);
        EXPECT_EQ(box_text, text);
        EXPECT_EQ(box_title, text);
    }
}

// UTF-8 is the program's 8-bit text: what goes in comes out byte for byte,
// a leading byte-order mark included (a settings value may start with one).
TEST_F(PlainTextTest, Utf8TextRoundTripsOnEverySurface)
{
    const char* text = "\xEF\xBB\xBF" "Jos\xC3\xA9, \xD0\x9F\xD1\x80\xD0\xB8\xD1\x91\xD0\xBC \xF0\x9F\x98\x80";
    controls_begin(window_handle(WINDOW_MAIN));
    control_string(41, 10, 30, 200, 20, "", 0);
    for (int control : {40, 41, 12}) {
        control_set_text(control, text);
        EXPECT_EQ(control_get_text(control), text) << control;
    }
    statusbar_set_text(0, 0, text, STATUS_BORDERLESS);
    EXPECT_EQ(statusbar_get_text(0, 0), text);
}

}  // namespace
