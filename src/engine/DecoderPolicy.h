// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace orvane {

// Makes GStreamer decode the common radio formats (MP3, AAC, Vorbis, Opus, FLAC) with their
// small native decoders and keeps FFmpeg (gst-libav) for what only it can decode or recognise.
// Decoders of pictures (video, images) are never plugged: the player only plays sound.
// Call once, right after gst_init(); later calls do nothing. Changes this process's view of the
// plug-in registry only, never the registry cache on disk.
void initDecoderPolicy();

}  // namespace orvane
