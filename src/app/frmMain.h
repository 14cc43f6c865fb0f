// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>

#include "app/MediaPlayerControl.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace orvane {

class MediaBackend;
class MprisBridge;
class clsSysTray;

// The player's one window. Its controls are public members, as on the old form, so that the
// handlers read like the form's code and tests can look at what the user sees.
class frmMain final : public QWidget {
    Q_OBJECT
  public:
    explicit frmMain(std::unique_ptr<MediaBackend> engine, QWidget* parent = nullptr);
    ~frmMain() override;

    // Controls, from the bottom of the stacking order up (labels lie beneath everything else).
    QLabel* lblBackground1 = nullptr;
    QLabel* lblSource = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* lblVolume = nullptr;
    QLabel* lblNowPlaying = nullptr;
    QLabel* lblURL = nullptr;
    QLabel* lblCopyright = nullptr;
    QLabel* lblCounter = nullptr;
    MediaPlayerControl* WindowsMediaPlayer1 = nullptr;
    QPushButton* cmdStop = nullptr;
    QPushButton* cmdPlay = nullptr;
    QPushButton* cmdVolUp = nullptr;
    QComboBox* comboSourceList = nullptr;
    QPushButton* cmdVolDownSmall = nullptr;
    QPushButton* cmdVolUpSmall = nullptr;
    QPushButton* cmdVolDown = nullptr;
    QTimer* tmrDisplayUpdate = nullptr;

    // Playback state: PlayFlag is 1 while the user wants a stream to play (after Play), else 0.
    // PlayCounter is the position the last tick saw; FailCounter counts ticks without progress.
    std::int16_t PlayFlag = 0;
    double PlayCounter = 0;
    double FailCounter = 0;

    // The notification-area icon, from the end of start-up to the start of shut-down. Of its
    // events only LeftClick is handled.
    std::unique_ptr<clsSysTray> SysTray;

    // The desktop's media controls (MPRIS on the session bus), from the end of start-up to
    // shut-down.
    std::unique_ptr<MprisBridge> Mpris;

    // Handlers. Each one is entered through dispatch(), so a run-time error ends the program
    // through the default handler instead of reaching Qt.
    void Form_Load();
    // Removes the icon and ends the process at once; never returns.
    void Form_Unload(std::int16_t& Cancel);
    void cmdPlay_Click();
    void cmdStop_Click();
    void cmdVolUp_Click();
    void cmdVolUpSmall_Click();
    void cmdVolDown_Click();
    void cmdVolDownSmall_Click();
    void tmrDisplayUpdate_Timer();
    void Form_Resize();
    // Button and Shift as the old form gave them: 1 left, 2 right, 4 middle; 1 Shift, 2 Ctrl,
    // 4 Alt. X and Y in pixels.
    void Form_MouseMove(std::int16_t Button, std::int16_t Shift, float X, float Y);
    void SysTray_LeftClick();

    // Brings the window to the front with the keyboard focus, whether it is hidden to the tray,
    // minimised or covered by another window, as far as the window manager lets a program do
    // that. For the desktop's media controls, which ask for it by name.
    void bringToFront();

    // The credit line written under the list at start-up.
    static QString creditLine();
    // Elapsed-time text of a playback position: 01:05, 1:02:05, 100:00:00.
    static QString elapsedTimeText(double wholeSeconds);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    // The media controls set the volume through the buttons' own step.
    friend class MprisBridge;
    void stepVolume(int step);
    void showVolume();
};

}  // namespace orvane
