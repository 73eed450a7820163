// Texts from a peer (nicknames, file names, chat) are shown literally on
// every surface, load nothing they name, and keep their UTF-8 bytes.
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
#include <vector>

namespace {

// What a person sees of a text: Qt renders it as markup unless told not to.
std::string shown(const QString& text, bool plain = false)
{
    if (plain || !Qt::mightBeRichText(text))
        return text.toStdString();
    QTextDocument doc;
    doc.setHtml(text);
    return doc.toPlainText().toStdString();
}
std::string shown(QLabel* l) { return l ? shown(l->text(), l->textFormat() == Qt::PlainText) : "?"; }
std::string title(QWidget* w) { return w->windowHandle()->title().toStdString(); }

class PlainTextTest : public UiTest {
protected:
    void SetUp() override
    {
        UiTest::SetUp();
        build_main_window();
        controls_begin(window_handle(WINDOW_MAIN));
        control_text(40, 10, 10, 200, 14, "", 0);
        control_string(41, 10, 30, 200, 20, "", 0);
    }
};

TEST_F(PlainTextTest, EverySurfaceShowsMarkupLiterally)
{
    QTemporaryDir dir;
    QString picture = dir.filePath("tall.png");  // drawn, it would make a label tall
    ASSERT_TRUE(QImage(40, 300, QImage::Format_RGB32).save(picture));
    auto* label = static_cast<QLabel*>(widget_of(40));
    QLabel* status = nullptr;  // the status field's text; the icon is the other label
    for (QLabel* l : static_cast<QWidget*>(window_handle(WINDOW_MAIN))->findChild<QStatusBar*>()->findChildren<QLabel*>())
        if (l->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored)
            status = l;
    ASSERT_NE(status, nullptr);
    const std::string rows[] = {"<img src=\"/dev/zero\">", "<img src=\"&#47;dev&#47;zero\">",
                                "<h1><font color=red>Mallory</font></h1>",
                                "<img src=\"" + picture.toStdString() + "\">", "Alice [*] & Bob"};
    for (const std::string& text : rows) {
        const char* t = text.c_str();
        control_set_text(40, t);
        statusbar_set_text(0, 0, t, STATUS_BORDERLESS);
        control_tooltip(40, t);
        control_set_text(12, t);
        window_open(2, 0, 0, 200, 50, t, WINDOW_TITLE);
        std::vector<std::string> seen = {shown(label), shown(status), shown(label->toolTip()),
                                         control_get_text(12), title(static_cast<QWidget*>(window_handle(2)))};
        QTimer::singleShot(20, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen.push_back(shown(box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))));
                seen.push_back(title(box));
                box->button(QMessageBox::Ok)->click();
            }
        });
        message_box(t, t, MB_OK);
        EXPECT_EQ(seen, std::vector<std::string>(7, text));
        EXPECT_LT(label->sizeHint().height() + status->sizeHint().height(), 100) << text;  // no picture
    }
}

// A leading byte-order mark is kept too: a settings value may start with one.
TEST_F(PlainTextTest, Utf8TextRoundTripsOnEverySurface)
{
    const char* text = "\xEF\xBB\xBF" "Jos\xC3\xA9, \xD0\x9F\xD1\x80\xD0\xB8\xD1\x91\xD0\xBC \xF0\x9F\x98\x80";
    statusbar_set_text(0, 0, text, STATUS_BORDERLESS);
    std::vector<std::string> seen = {statusbar_get_text(0, 0)};
    for (int control : {40, 41, 12}) {
        control_set_text(control, text);
        seen.push_back(control_get_text(control));
    }
    EXPECT_EQ(seen, std::vector<std::string>(4, text));
}

}  // namespace
