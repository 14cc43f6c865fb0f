// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gst/gst.h>

namespace orvane {

// HTTPS for a pipeline's HTTP source, called from its source-setup: a certificate that fails the
// check is refused, never waved through. The source does not say why (with libsoup 3, souphttpsrc
// reports nothing but "streaming stopped"); the engine's own check of the connection finds out.
// The authorities are the system's, or those a test names (see testCaFile()). Any thread.
void setUpSourceTls(GstElement* source);

}  // namespace orvane
