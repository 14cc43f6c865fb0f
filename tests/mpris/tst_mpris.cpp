// SPDX-License-Identifier: GPL-3.0-or-later
// The window as the desktop's media controls on a private session bus, beside a twin window
// driven by real button clicks.

#include <QComboBox>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QLabel>
#include <QPushButton>
#include <QXmlStreamReader>
#include <QtTest>
#include <cmath>

#include "app/MprisBridge.h"
#include "app/frmMain.h"
#include "mpris/MprisState.h"
#include "platform/RuntimeError.h"
#include "support/ScriptedEngine.h"

using namespace orvane;
using orvane::test::ScriptedForm;

namespace {

// Every change must be on the bus within a second of reaching the engine.
constexpr int kChangeDeadlineMs = 1000;
constexpr int kCallTimeoutMs = 5000;
const QString kService = QString::fromLatin1(mpris::kServiceName);
const QString kPath = QString::fromLatin1(mpris::kObjectPath);
const QString kRoot = QString::fromLatin1(mpris::kRootInterface);
const QString kPlayer = QString::fromLatin1(mpris::kPlayerInterface);

QStringList errors;
void recordError(const RuntimeError& e) {
    errors << runtimeErrorMessage(e);
}

// a{sv} arrives as a QDBusArgument inside a variant.
QVariantMap asMap(const QVariant& v) {
    if (v.canConvert<QDBusArgument>()) {
        return qdbus_cast<QVariantMap>(v.value<QDBusArgument>());
    }
    return v.toMap();
}

// What a window shows after a command: the watchdog's state and every label.
QStringList looks(const frmMain& f) {
    return {QString::number(f.PlayFlag),      QString::number(f.FailCounter),
            QString::number(f.PlayCounter),   f.lblCounter->text(),
            f.lblNowPlaying->text(),          f.lblVolume->text(),
            f.comboSourceList->currentText(), QString::number(f.comboSourceList->currentIndex()),
            f.WindowsMediaPlayer1->URL(),     f.WindowsMediaPlayer1->status()};
}

}  // namespace

// A desktop on its own connection; it waits with the event loop running (the player is here).
class Client : public QObject {
    Q_OBJECT
  public:
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "client");
    QList<QVariantMap> changes;  // the player's PropertiesChanged, Metadata as a map

    Client() {
        bus.connect(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                    QStringLiteral("PropertiesChanged"), this,
                    SLOT(onChanged(QString, QVariantMap, QStringList)));
    }
    QDBusMessage call(const QString& iface, const QString& method, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, iface, method);
        m.setArguments(args);
        return bus.call(m, QDBus::BlockWithGui, kCallTimeoutMs);
    }
    QVariant get(const QString& iface, const QString& name) {
        const QDBusMessage r = call(QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("Get"), {iface, name});
        return r.arguments().value(0).value<QDBusVariant>().variant();
    }
    void set(const QString& name, const QVariant& value) {
        call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
             {kPlayer, name, QVariant::fromValue(QDBusVariant(value))});
    }
    QVariantMap metadata() { return asMap(get(kPlayer, QStringLiteral("Metadata"))); }
    // The first change at or after index `from` that `matches`, if it is on the bus by the
    // deadline, counted from the call.
    std::optional<QVariantMap> waitFor(qsizetype from,
                                       const std::function<bool(const QVariantMap&)>& matches) {
        std::optional<QVariantMap> found;
        const bool arrived = QTest::qWaitFor(
            [&] {
                for (; !found && from < changes.size(); ++from) {
                    if (matches(changes[from])) {
                        found = changes[from];
                    }
                }
                return found.has_value();
            },
            kChangeDeadlineMs);
        return arrived ? found : std::nullopt;
    }
    std::optional<QVariantMap> waitFor(qsizetype from, const QString& property,
                                       const QVariant& value) {
        return waitFor(from, [&](const QVariantMap& p) { return p.value(property) == value; });
    }
    static QString titleOf(const QVariantMap& p) {
        return p.value("Metadata").toMap().value("xesam:title").toString();
    }

  public slots:
    void onChanged(const QString& iface, const QVariantMap& changed, const QStringList&) {
        if (iface == kPlayer) {
            QVariantMap props = changed;
            if (props.contains(QStringLiteral("Metadata"))) {
                props[QStringLiteral("Metadata")] = asMap(props.value(QStringLiteral("Metadata")));
            }
            changes.append(props);
        }
    }
};

class TestMpris : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        setErrorHandler(&recordError);
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        m_list.load(m_bus.form);
        m_list.load(m_twin.form);
        // A second player, as another running instance would be: a connection of its own.
        m_twin.form.Mpris = std::make_unique<MprisBridge>(
            m_twin.form, QDBusConnection::connectToBus(QDBusConnection::SessionBus, "twin"));
        m_client = std::make_unique<Client>();
    }
    void cleanupTestCase() {
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join(QLatin1Char('\n'))));
    }
    // Titles without an artist and the values the bus cannot carry; artists, rounding (0.29 is
    // 28.99...), clamping and track changes show over the bus below.
    void valuesMapAsTheBusExpects() {
        QCOMPARE(mpris::volumePercent(std::nan("")), std::nullopt);
        QCOMPARE(mpris::artistsOf(QStringLiteral("Artist-Song")), QStringList{});
        QCOMPARE(mpris::artistsOf(QStringLiteral(" - Song")), QStringList{});
        // The first dash splits: the rest is the song's own title, dashes and all.
        QCOMPARE(mpris::artistsOf(QStringLiteral("A - B - Live - 1999")), QStringList{"A"});
        QVERIFY(mpris::isSupportedUri(QStringLiteral("file:///music/x.ogg")));
    }
    // The introspection data lists exactly the MPRIS2 members, with their D-Bus types and access.
    void interfacesAreMpris2() {
        QCOMPARE(m_bus.form.Mpris->serviceName(), kService);
        QCOMPARE(m_twin.form.Mpris->serviceName(),
                 kService + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid()));

        const QDBusMessage r =
            m_client->call(QStringLiteral("org.freedesktop.DBus.Introspectable"), "Introspect");
        QXmlStreamReader xml(r.arguments().value(0).toString());
        QStringList members;  // interface, kind, name, then argument types or type and access
        QString iface;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement) {
                continue;
            }
            const auto a = xml.attributes();
            const QString kind = xml.name().toString();
            if (kind == u"interface") {
                iface = a.value("name").toString();
            } else if (!iface.startsWith(kRoot) || kind == u"annotation") {
                continue;
            } else if (kind == u"arg") {
                members.last() += u' ' + a.value("type").toString();
            } else {
                members << QStringList({iface, kind, a.value("name").toString(),
                                        a.value("type").toString(), a.value("access").toString()})
                               .join(' ')
                               .trimmed();
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QStringList expected;
        const auto add = [&](const QString& iface, const char* list) {
            for (const QString& m : QString::fromLatin1(list).split(';')) {
                expected << iface + ' ' + m;
            }
        };
        add(kRoot,
            "method Raise;method Quit;property CanQuit b read;property CanRaise b read;"
            "property HasTrackList b read;property Identity s read;property DesktopEntry s read;"
            "property SupportedUriSchemes as read;property SupportedMimeTypes as read");
        add(kPlayer,
            "method Next;method Previous;method Pause;method PlayPause;method Stop;method Play;"
            "method Seek x;method SetPosition o x;method OpenUri s;signal Seeked x;"
            "property PlaybackStatus s read;property Rate d readwrite;property Metadata a{sv} read;"
            "property Volume d readwrite;property Position x read;property MinimumRate d read;"
            "property MaximumRate d read;property CanGoNext b read;property CanGoPrevious b read;"
            "property CanPlay b read;property CanPause b read;property CanSeek b read;"
            "property CanControl b read");
        members.sort();
        expected.sort();
        QCOMPARE(members, expected);

        QCOMPARE(m_client->get(kRoot, "Identity").toString(), "Orvane Player");
        QCOMPARE(m_client->get(kRoot, "DesktopEntry").toString(),
                 "io.github.orvaneplayer.OrvanePlayer");
        QCOMPARE(m_client->get(kRoot, "HasTrackList").toBool(), false);
        QCOMPARE(m_client->get(kPlayer, "CanSeek").toBool(), false);
        QCOMPARE(m_client->get(kPlayer, "CanControl").toBool(), true);
        QCOMPARE(m_client->get(kPlayer, "Rate").toDouble(), 1.0);
    }
    // Each command over the bus leaves the state and labels that clicks leave on the twin.
    void commandsLeaveWhatClicksLeave() {
        frmMain& f = m_bus.form;
        frmMain& twin = m_twin.form;
        const QString odd = QStringLiteral("http://127.0.0.1/x,y.mp3");
        const QString escaped = QStringLiteral("http://127.0.0.1/x%2Cy.mp3");
        // Typed as "URI,URI", over the field's limit: refused like typed text, not played cut.
        const QString huge = QStringLiteral("http://127.0.0.1/") + QString(16384, u'h');
        // A C1 control is a valid URL character, so only the field's own rule stops it.
        const QString control = QStringLiteral("http://127.0.0.1/a\u0085b.mp3");
        // The method (or "Volume" and a value), then what a user does by hand for the same effect.

        const auto click = [](QPushButton* b) { return [b] { b->click(); }; };
        const auto playEntry = [&](int index, const QString& edit = {}) {
            return [&twin, index, edit] {
                index < 0 ? twin.comboSourceList->setEditText(edit)
                          : twin.comboSourceList->setCurrentIndex(index);
                twin.cmdPlay->click();
            };
        };
        const QList<std::pair<const char*, std::function<void()>>> steps = {
            {"Play", click(twin.cmdPlay)},
            {"Previous at the start", [] {}},
            {"Stop", click(twin.cmdStop)},
            {"PlayPause stopped", click(twin.cmdPlay)},
            {"PlayPause playing", click(twin.cmdStop)},
            {"Next", playEntry(1)},
            {"Next", playEntry(2)},
            {"Next at the end", [] {}},
            {"Pause", click(twin.cmdStop)},
            {"Previous", playEntry(1)},
            {"OpenUri", playEntry(-1, escaped + ',' + escaped)},
            {"OpenUri huge", playEntry(-1, huge + ',' + huge)},
            {"OpenUri control", playEntry(-1, control + ',' + control)},
            {"Volume 0.3", click(twin.cmdVolUp)},
            {"Volume 0.29", click(twin.cmdVolDownSmall)},
        };
        for (const auto& [name, byHand] : steps) {
            // A stalled count that Play and Stop must clear.
            f.FailCounter = twin.FailCounter = 3;
            const QString method = QString::fromLatin1(name).section(' ', 0, 0);
            if (method == u"Volume") {
                m_client->set(method, QString::fromLatin1(name).section(' ', 1).toDouble());
            } else {
                const QString kind = QString::fromLatin1(name).section(' ', 1);
                const QString uri = kind == u"huge" ? huge : kind == u"control" ? control : odd;
                m_client->call(kPlayer, method,
                               method == u"OpenUri" ? QVariantList{uri} : QVariantList{});
            }
            byHand();
            QVERIFY2(looks(f) == looks(twin), name);
            QCOMPARE(m_bus.engine->count("play"), m_twin.engine->count("play"));
            QCOMPARE(m_bus.engine->count("stop"), m_twin.engine->count("stop"));
        }

        // Volumes beyond the ends are clamped as the buttons clamp.
        m_client->set("Volume", 7.0);
        QCOMPARE(f.lblVolume->text(), QStringLiteral("100%"));
        m_client->set("Volume", -1.0);
        QCOMPARE(f.lblVolume->text(), QStringLiteral("0%"));
        // What is no URL it can play (a C0 control makes a URL invalid) is an error to the
        // caller, and changes nothing.
        const QStringList before = looks(f);
        for (const char* uri : {"rtsp://host/x", "http://127.0.0.1/a\tb.mp3"}) {
            QVERIFY2(m_client->call(kPlayer, "OpenUri", {QString::fromLatin1(uri)}).type() ==
                         QDBusMessage::ErrorMessage,
                     uri);
        }
        QCOMPARE(looks(f), before);

        f.comboSourceList->setCurrentIndex(0);
        QCOMPARE(m_client->get(kPlayer, "CanGoPrevious").toBool(), false);
        QCOMPARE(m_client->get(kPlayer, "CanGoNext").toBool(), true);

        // Raise brings the window back from the tray (covered windows: mpris_e2e.sh).
        f.showMinimized();
        f.hide();
        m_client->call(kRoot, "Raise");
        QVERIFY(f.isVisible());
        QVERIFY(!(f.windowState() & Qt::WindowMinimized));
    }
    void changesReachTheBusWithinASecond() {
        frmMain& f = m_bus.form;
        test::ScriptedEngine& engine = *m_bus.engine;
        Client& c = *m_client;
        m_client->call(kPlayer, "Play");
        QCOMPARE(f.PlayFlag, 1);
        engine.statusText = QStringLiteral("Playing");
        engine.name = QStringLiteral("Radio A");
        QVERIFY(c.waitFor(0, "PlaybackStatus", "Playing"));
        QVERIFY(c.waitFor(0, [](const QVariantMap& p) { return Client::titleOf(p) == "Radio A"; }));

        // Titles as the engine reports them, each on the bus within the deadline.
        for (int i = 1; i <= 5; ++i) {
            const QString title = QStringLiteral("Artist %1 - Song %1").arg(i);
            const qsizetype from = c.changes.size();
            engine.name = title;
            const auto change =
                c.waitFor(from, [&](const QVariantMap& p) { return Client::titleOf(p) == title; });
            QVERIFY2(change, qPrintable(title));
            const QVariantMap meta = change->value("Metadata").toMap();
            QCOMPARE(meta.value("xesam:artist").toStringList(),
                     QStringList{title.section(" - ", 0, 0)});
            QCOMPARE(meta.value("xesam:album").toString(), "Radio A");
        }

        // The same title again says nothing: the next signal carries only the volume.
        const QString track = c.metadata().value("mpris:trackid").value<QDBusObjectPath>().path();
        qsizetype from = c.changes.size();
        engine.name = QStringLiteral("Artist 5 - Song 5");
        engine.vol = 40;
        auto change = c.waitFor(from, [](const QVariantMap&) { return true; });
        QCOMPARE(change, std::optional(QVariantMap{{"Volume", 0.4}}));

        // From PLAY until STOP the status says what the user asked for, through buffering and
        // reconnects (where a playlist may be fetched again: the entry's name stays, so nothing
        // is signalled), so PlayPause stops; once the engine gives up, it says Stopped and
        // PlayPause plays again.
        from = c.changes.size();
        for (const char* status : {"Buffering 40%", "Reconnecting: connection refused"}) {
            engine.statusText = QString::fromLatin1(status);
            QCOMPARE(c.get(kPlayer, "PlaybackStatus").toString(), "Playing");
        }
        QCOMPARE(c.changes.size(), from);
        c.call(kPlayer, "PlayPause");
        QCOMPARE(f.PlayFlag, 0);
        c.call(kPlayer, "Play");
        QVERIFY(c.waitFor(from, "PlaybackStatus", "Playing"));
        from = c.changes.size();
        engine.statusText = QStringLiteral("Error: File not found");
        QVERIFY(c.waitFor(from, "PlaybackStatus", "Stopped"));
        const qsizetype stops = engine.count("stop");
        c.call(kPlayer, "PlayPause");
        QCOMPARE(QList<qsizetype>({f.PlayFlag, engine.count("stop")}),
                 QList<qsizetype>({1, stops}));

        // A station change sends the new station at once, under a new track id.
        from = c.changes.size();
        engine.statusText = QStringLiteral("Playing");
        engine.name = QStringLiteral("Radio B");
        c.call(kPlayer, "Next");
        change =
            c.waitFor(from, [](const QVariantMap& p) { return Client::titleOf(p) == "Radio B"; });
        QVERIFY(change);
        const QVariantMap meta = change->value("Metadata").toMap();
        QCOMPARE(meta.value("xesam:album").toString(), "Radio B");
        QCOMPARE(meta.value("xesam:url").toString(), "http://127.0.0.1/b.mp3");
        QVERIFY(meta.value("mpris:trackid").value<QDBusObjectPath>().path() != track);
    }

  private:
    const test::ListFolder m_list{
        "Radio A,http://127.0.0.1/a.mp3\r\nRadio B,http://127.0.0.1/b.mp3\r\n"
        "Radio C,http://127.0.0.1/c.mp3\r\n"};
    ScriptedForm m_bus;   // driven over the bus
    ScriptedForm m_twin;  // driven by clicks
    std::unique_ptr<Client> m_client;
};

QTEST_MAIN(TestMpris)
#include "tst_mpris.moc"
