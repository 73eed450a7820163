// Desktop notifications through the freedesktop notification service on the
// session bus. Nothing here waits for the service: every call is sent and its
// answer taken when it comes, so a slow or missing service never holds the
// program. One notification per kind stays on the screen (a later one
// replaces it), and a kind is told at most twice a second: a peer that floods
// chat lines makes one notification change, not a pile of them.
#include "toolkit_qt.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <map>

namespace {

const char service[] = "org.freedesktop.Notifications";
const char path[] = "/org/freedesktop/Notifications";
constexpr int NOTE_GAP_MS = 500;
constexpr int NOTE_BODY_CHARS = 300;

struct ui_note {
    uint id = 0;                // the service's number for it, 0 none shown
    int window = -1;            // the window its action brings forward
    QString summary, body;      // what is to be told next
    bool pending = false;       // told to us, not yet to the service
    bool in_flight = false;     // sent, its number not yet known
    bool taken_back = false;    // taken back while in flight: closed once numbered
    QElapsedTimer sent;         // when it was last sent
    QTimer* later = nullptr;    // sends the pending one once the gap has passed
};

// Receives the service's signals; a slot needs the meta-object compiler.
class ui_notifier : public QObject {
    Q_OBJECT
public slots:
    void invoked(uint id, const QString& action);
    void closed(uint id, uint reason);
};

struct ui_notes {
    bool asked = false;          // capabilities asked for
    bool known = false;          // and answered (or the service is missing)
    bool markup = false;         // the service reads markup in bodies
    bool connected = false;      // the session bus is there
    ui_notifier* notifier = nullptr;
    std::map<int, ui_note> kinds;
};

ui_notes& notes()
{
    static ui_notes n;
    return n;
}

// A stranger's text is shown as it is: where the service reads markup, the
// characters that would start it are written as entities.
QString ui_note_text(const QString& text, bool markup)
{
    QString shown = text.size() > NOTE_BODY_CHARS ? text.left(NOTE_BODY_CHARS) + QChar(0x2026) : text;
    return markup ? shown.toHtmlEscaped() : shown;
}

void ui_note_send(int kind);

void ui_note_schedule(int kind)
{
    ui_note& n = notes().kinds[kind];
    if (!n.later) {
        n.later = new QTimer;
        n.later->setSingleShot(true);
        QObject::connect(n.later, &QTimer::timeout, [kind] { ui_note_send(kind); });
    }
    qint64 wait = n.sent.isValid() ? NOTE_GAP_MS - n.sent.elapsed() : 0;
    n.later->start(int(qMax<qint64>(wait, 0)));
}

void ui_note_send(int kind)
{
    ui_notes& all = notes();
    ui_note& n = all.kinds[kind];
    if (!n.pending || !all.known)
        return;
    // Until the service has numbered the last one, the next could not
    // replace it.
    if (n.in_flight || (n.sent.isValid() && n.sent.elapsed() < NOTE_GAP_MS)) {
        ui_note_schedule(kind);
        return;
    }
    n.pending = false;
    n.in_flight = true;
    n.sent.start();
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("jox"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(1)));
    call << QStringLiteral("jox") << n.id << QStringLiteral("jox") << ui_note_text(n.summary, false)
         << ui_note_text(n.body, all.markup) << QStringList{QStringLiteral("default"), QStringLiteral("Show jox")}
         << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [kind](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<uint> reply = *w;
        ui_note& note = notes().kinds[kind];
        note.in_flight = false;
        note.id = reply.isValid() ? reply.value() : 0;
        if (note.taken_back)
            ui_notify_withdraw();
        w->deleteLater();
    });
}

void ui_notes_start()
{
    ui_notes& all = notes();
    if (all.asked)
        return;
    all.asked = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    all.connected = bus.isConnected();
    if (!all.connected) {
        all.known = true;
        return;
    }
    all.notifier = new ui_notifier;
    bus.connect(service, path, service, QStringLiteral("ActionInvoked"), all.notifier,
                SLOT(invoked(uint, QString)));
    bus.connect(service, path, service, QStringLiteral("NotificationClosed"), all.notifier,
                SLOT(closed(uint, uint)));
    QDBusMessage ask = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QStringList> reply = *w;
        ui_notes& all = notes();
        all.known = true;
        all.markup = reply.isValid() && reply.value().contains(QStringLiteral("body-markup"));
        for (auto& [kind, n] : all.kinds)
            if (n.pending)
                ui_note_send(kind);
        w->deleteLater();
    });
}

void ui_notifier::invoked(uint id, const QString& action)
{
    if (action != QLatin1String("default"))
        return;
    for (auto& [kind, n] : notes().kinds)
        if (n.id == id && id != 0)
            ui_queue_window_event(EVENT_NOTIFIED, n.window);
}

void ui_notifier::closed(uint id, uint)
{
    for (auto& [kind, n] : notes().kinds)
        if (n.id == id)
            n.id = 0;
}

}  // namespace

void ui_notes_end()
{
    // Their action would bring forward a window that is gone.
    ui_notify_withdraw();
    ui_notes& all = notes();
    for (auto& [kind, n] : all.kinds)
        delete n.later;
    delete all.notifier;  // the bus forgets the signals it was given
    all = ui_notes{};
}

int ui_program_active()
{
    ui_state& s = ui_st();
    return s.ready && QApplication::activeWindow() != nullptr;
}

int ui_notify(int kind, int window, const char* summary, const char* body)
{
    // Nobody looks at an offscreen program's windows, and a test run in a
    // desktop session must not notify its user.
    if (!ui_st().ready || QGuiApplication::platformName() == QLatin1String("offscreen"))
        return 0;
    ui_notes_start();
    ui_notes& all = notes();
    if (!all.connected)
        return 0;
    ui_note& n = all.kinds[kind];
    n.window = window;
    n.summary = QString::fromUtf8(summary ? summary : "");
    n.body = QString::fromUtf8(body ? body : "");
    n.pending = true;
    n.taken_back = false;
    ui_note_send(kind);
    return 1;
}

void ui_notify_withdraw()
{
    ui_notes& all = notes();
    if (!all.connected)
        return;
    for (auto& [kind, n] : all.kinds) {
        n.pending = false;
        n.taken_back = n.in_flight;
        if (n.id == 0)
            continue;
        QDBusMessage close = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("CloseNotification"));
        close << n.id;
        QDBusConnection::sessionBus().asyncCall(close);
        n.id = 0;
    }
}

#include "toolkit_notify.moc"
