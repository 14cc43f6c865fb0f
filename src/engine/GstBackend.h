// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include "engine/MediaBackend.h"

namespace orvane {

// Initialise GStreamer once per process (safe to call more than once).
void initGStreamer(int* argc, char*** argv);

// The real engine: one playbin, living on the calling (user-interface) thread.
std::unique_ptr<MediaBackend> createGstBackend();

}  // namespace orvane
