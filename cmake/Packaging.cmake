# SPDX-License-Identifier: GPL-3.0-or-later
# `cpack -G DEB` in a build folder makes orvaneplayer_<version>_amd64.deb from the install rules:
# the program, the launcher, the desktop entry, the icons, the example list, the manual page, the
# changelog, the copyright file and the AppStream metadata, under /usr. dpkg-shlibdeps works out
# the libraries; the GStreamer plugins are loaded at run time, and the fonts are found by name,
# so no library link shows them and they are listed here.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "orvaneplayer")
set(CPACK_PACKAGE_VENDOR "Orvane Player developers")
set(CPACK_PACKAGE_CONTACT "Orvane Player developers <orvaneplayer@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${ORVANE_HOMEPAGE}")
# The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the text under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A small player for internet radio and other streams addressed by URL.\n\
It reads its stations from a plain text list, restarts a stalled stream by\n\
itself, hides to the notification area and answers the desktop's media keys\n\
and sound menu (MPRIS).")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# HTTP source, ICY metadata, MP3, Vorbis, Opus and FLAC (base, good); AAC and HLS (bad); an
# audio output (PulseAudio serves PipeWire desktops too, ALSA the rest). A narrow face for the
# counter, without which "RESTARTING" is cut: Nimbus Sans Narrow, the first the program asks for
# and the one the tests measure (Ghostscript needs it too, so most desktops have it already), or
# Liberation Sans Narrow, which fits as well and is only in the 1.x releases of its package.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base (>= 1.22), gstreamer1.0-plugins-good (>= 1.22), \
gstreamer1.0-plugins-bad (>= 1.22), gstreamer1.0-pulseaudio | gstreamer1.0-alsa, \
fonts-urw-base35 | fonts-liberation (<< 1:2)")
# Codecs only FFmpeg has, and a font that keeps the other labels' metrics.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-libav, fonts-dejavu-core")

include(CPack)
