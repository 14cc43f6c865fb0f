// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MprisBridge.h"

#include <QComboBox>
#include <QMetaObject>

#include "app/frmMain.h"
#include "engine/MediaNames.h"
#include "mpris/MprisService.h"
#include "platform/RuntimeError.h"
#include "sources/SourceList.h"

namespace orvane {

MprisBridge::MprisBridge(frmMain& form, QDBusConnection bus)
    : m_form(form), m_service(std::make_unique<MprisService>(*this, std::move(bus))) {}

MprisBridge::~MprisBridge() = default;

QString MprisBridge::serviceName() const {
    return m_service->serviceName();
}

// While a stream is wanted this describes it; otherwise it describes what PLAY would start.
MprisState MprisBridge::state() const {
    MediaPlayerControl& player = *m_form.WindowsMediaPlayer1;
    const QComboBox& list = *m_form.comboSourceList;
    MprisState s;
    const QString status = player.status();
    if (m_form.PlayFlag == 1) {
        s.playing = playbackWanted(status);
        s.url = player.URL();
        s.station = stationNameFor(s.url);
        if (!isIdleStatus(status)) {
            // The engine names a stream that told it nothing after its URL; the source's own
            // name says more than that.
            const QString name = player.currentMedia().name();
            if (name != nameFromUrl(player.currentMedia().sourceURL())) {
                s.title = name;
            }
        }
    } else {
        const SourceLine line = splitSourceLine(list.currentText());
        s.station = line.name;
        s.url = line.url;
    }
    s.volume = player.settings().volume();
    s.canGoNext = list.currentIndex() + 1 < list.count();
    s.canGoPrevious = list.currentIndex() > 0;
    return s;
}

// A desktop shows its play/pause button from the status and sends PlayPause from it, so the
// status says what the user asked for: from PLAY until STOP it reads "Playing", through
// connecting, buffering and every reconnect, and only a failure the engine has given up on ends
// it early. Reporting the stream's own state instead would show "play" on a button that stops.
bool MprisBridge::playbackWanted(const QString& status) const {
    return m_form.PlayFlag == 1 && !isFailedStatus(status);
}

// The name the user gave the playing URL: the list's current text if that is what plays (it
// may be typed), else the first entry with that URL, else the URL itself.
QString MprisBridge::stationNameFor(const QString& url) const {
    const QComboBox& list = *m_form.comboSourceList;
    const SourceLine current = splitSourceLine(list.currentText());
    if (current.url == url) {
        return current.name;
    }
    for (int i = 0; i < list.count(); ++i) {
        const SourceLine entry = splitSourceLine(list.itemText(i));
        if (entry.url == url) {
            return entry.name;
        }
    }
    return url;
}

double MprisBridge::elapsedSeconds() const {
    return m_form.WindowsMediaPlayer1->controls().currentPosition();
}

void MprisBridge::play() {
    dispatch([this] { m_form.cmdPlay_Click(); });
}

void MprisBridge::stop() {
    dispatch([this] { m_form.cmdStop_Click(); });
}

void MprisBridge::togglePlayback() {
    dispatch([this] {
        if (playbackWanted(m_form.WindowsMediaPlayer1->status())) {
            m_form.cmdStop_Click();
        } else {
            m_form.cmdPlay_Click();
        }
    });
}

void MprisBridge::next() {
    const QComboBox& list = *m_form.comboSourceList;
    if (list.currentIndex() + 1 < list.count()) {
        selectAndPlay(list.currentIndex() + 1);
    }
}

void MprisBridge::previous() {
    const QComboBox& list = *m_form.comboSourceList;
    if (list.currentIndex() > 0) {
        selectAndPlay(list.currentIndex() - 1);
    }
}

// As the user would: pick the entry, which puts its text in the edit field, and press PLAY.
void MprisBridge::selectAndPlay(int index) {
    dispatch([this, index] {
        m_form.comboSourceList->setCurrentIndex(index);
        m_form.cmdPlay_Click();
    });
}

// As if "URI,URI" were typed into the list, so the URI is its own name. A comma would split it,
// so commas are written in their escaped form, which means the same in a URL.
void MprisBridge::openUri(const QString& uri) {
    QString text = uri;
    text.replace(QLatin1Char(','), QLatin1String("%2C"));
    dispatch([this, &text] {
        m_form.comboSourceList->setEditText(text + QLatin1Char(',') + text);
        m_form.cmdPlay_Click();
    });
}

// The volume buttons' own step does the clamping and shows the result.
void MprisBridge::setVolume(int percent) {
    dispatch([this, percent] {
        m_form.stepVolume(percent - m_form.WindowsMediaPlayer1->settings().volume());
    });
}

void MprisBridge::raise() {
    dispatch([this] { m_form.bringToFront(); });
}

// Closing releases this bridge, and with it the bus object whose call is still running: close
// once the call has returned and its reply is on its way.
void MprisBridge::quit() {
    frmMain* form = &m_form;
    QMetaObject::invokeMethod(
        form, [form] { form->close(); }, Qt::QueuedConnection);
}

}  // namespace orvane
