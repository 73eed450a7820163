// A drag source for the X11 suite: another program's window that starts a
// real drag (XDND, as file managers do) of the files named on its command
// line when pressed. Usage: x11_drag_source X Y FILE...
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

class Source : public QWidget {
public:
    QList<QUrl> urls;

protected:
    void mousePressEvent(QMouseEvent*) override
    {
        auto* data = new QMimeData;
        data->setUrls(urls);
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        Qt::DropAction done = drag->exec(Qt::CopyAction);
        std::printf("%s\n", done == Qt::CopyAction ? "copied" : "ignored");
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 4)
        return 2;
    Source source;
    for (int i = 3; i < argc; i++)
        source.urls.push_back(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i])));
    source.setWindowTitle(QStringLiteral("jox drag source"));
    source.setGeometry(std::atoi(argv[1]), std::atoi(argv[2]), 120, 80);
    source.show();
    return app.exec();
}
