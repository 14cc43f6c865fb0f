// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ScreenReaderNames.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/frmMain.h"

namespace orvane {

namespace {

void name(QWidget* w, const char* name, const char* description) {
    w->setAccessibleName(QString::fromLatin1(name));
    w->setAccessibleDescription(QString::fromLatin1(description));
}

}  // namespace

void nameControlsForScreenReaders(frmMain& f) {
    name(f.cmdPlay, "Play", "Plays the source shown in the list");
    name(f.cmdStop, "Stop", "Stops playback");
    name(f.cmdVolUp, "Volume up 5", "Raises the volume by 5 percent");
    name(f.cmdVolUpSmall, "Volume up 1", "Raises the volume by 1 percent");
    name(f.cmdVolDown, "Volume down 5", "Lowers the volume by 5 percent");
    name(f.cmdVolDownSmall, "Volume down 1", "Lowers the volume by 1 percent");
    // On Linux Qt reads an editable list's name from its text, so the name goes on the edit
    // field too, which is what has the focus when the list is reached by Tab.
    const char* listHelp =
        "Pick a source, or type a name, a comma and a stream URL, then press Play";
    name(f.comboSourceList, "Sources", listHelp);
    name(f.comboSourceList->lineEdit(), "Sources", listHelp);
    name(f.WindowsMediaPlayer1, "Player", "The player's display area");
}

}  // namespace orvane
