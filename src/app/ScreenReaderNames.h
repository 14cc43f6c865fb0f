// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace orvane {

class frmMain;

// Names and descriptions a screen reader speaks for the window's controls. The volume buttons'
// captions ("/\" and "\/") would otherwise be read out as slashes; the captions stay as they are.
void nameControlsForScreenReaders(frmMain& form);

}  // namespace orvane
