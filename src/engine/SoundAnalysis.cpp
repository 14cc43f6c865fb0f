// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SoundAnalysis.h"

#include <gst/gst.h>

#include <algorithm>
#include <cmath>

#include "engine/GstPtr.h"

namespace orvane {

namespace {

// 513 bands of 43 Hz at 44.1 kHz: the shown bands are narrower than that only below 200 Hz. The
// element transforms 2 * (bands - 1) samples at a time, and 1024, a power of two, takes a third
// of the time that 1022 (512 bands) does.
constexpr guint kAnalysisBands = 513;
// Fifteen measurements a second: enough for a display that moves smoothly. Each one wakes the
// window to draw it, which costs far more than measuring.
constexpr guint64 kIntervalNs = GST_SECOND / 15;
// Below this a band counts as silent.
constexpr gint kThresholdDb = -80;
constexpr const char* kMessageName = "spectrum";
// What the window shows: bands spaced evenly in pitch between these frequencies. An MP3 or AAC
// stream at a radio bit rate carries nothing above about 16 kHz.
constexpr int kShownBands = 24;
constexpr double kLowestHz = 50.0;
constexpr double kHighestHz = 16000.0;
// The shown range: a quiet passage sits near the bottom, loud music near the top.
constexpr double kFloorDb = -70.0;
constexpr double kTopDb = -10.0;
// Sound held for the window is never due further ahead than this; more would be a clock that
// jumped.
constexpr auto kMaxAhead = std::chrono::seconds(2);
// Held measurements wait this long past their time for the next one to arrive and hand them over,
// a little more than the time between two.
constexpr auto kArrivalSlack = std::chrono::milliseconds(80);
// What is held at most: far more than the audio output's buffer holds.
constexpr std::size_t kMaxHeld = 64;

std::atomic<quint64> g_posted{0};

// The analysis' own switch, read on the streaming thread for every buffer.
struct Bypass {
    std::shared_ptr<std::atomic<bool>> active;
    gst::PadPtr out;  // the analysis element's source pad

    // Off, a buffer goes straight to the analysis' output: its transform (a Fourier transform of
    // every sample) does not run at all, which the element's own post-messages setting would not
    // prevent. Events still pass through the element, so it keeps up with caps and segments.
    static GstPadProbeReturn onData(GstPad* /*pad*/, GstPadProbeInfo* info, gpointer data) {
        auto* self = static_cast<Bypass*>(data);
        if (self->active->load(std::memory_order_relaxed)) {
            return GST_PAD_PROBE_OK;
        }
        GstFlowReturn flow = GST_FLOW_OK;
        if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
            flow = gst_pad_push_list(self->out.get(), GST_PAD_PROBE_INFO_BUFFER_LIST(info));
        } else {
            flow = gst_pad_push(self->out.get(), GST_PAD_PROBE_INFO_BUFFER(info));
        }
        // The push took the data; what downstream answered goes upstream as if the element had
        // passed it on itself (flushing, end of stream, not negotiated).
        GST_PAD_PROBE_INFO_DATA(info) = nullptr;
        GST_PAD_PROBE_INFO_FLOW_RETURN(info) = flow;
        return GST_PAD_PROBE_HANDLED;
    }
    static void release(gpointer data) { delete static_cast<Bypass*>(data); }
};

}  // namespace

SoundAnalysis createSoundAnalysis() {
    GstElement* spectrum = gst_element_factory_make("spectrum", nullptr);
    GstElement* convert = gst_element_factory_make("audioconvert", nullptr);
    if (!spectrum || !convert) {
        if (spectrum) {
            gst_object_unref(gst_object_ref_sink(spectrum));
        }
        if (convert) {
            gst_object_unref(gst_object_ref_sink(convert));
        }
        return {};
    }
    // One measurement of all channels together: the display shows the sound, not the speakers.
    g_object_set(spectrum, "bands", kAnalysisBands, "interval", kIntervalNs, "threshold",
                 kThresholdDb, "multi-channel", FALSE, nullptr);

    GstElement* bin = gst_bin_new("sound-analysis");
    gst_bin_add_many(GST_BIN(bin), convert, spectrum, nullptr);
    gst_element_link(convert, spectrum);
    const gst::PadPtr in{gst_element_get_static_pad(convert, "sink")};
    const gst::PadPtr out{gst_element_get_static_pad(spectrum, "src")};
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", in.get()));
    gst_element_add_pad(bin, gst_ghost_pad_new("src", out.get()));

    SoundAnalysis analysis{bin, std::make_shared<std::atomic<bool>>(false)};
    const gst::PadPtr spectrumIn{gst_element_get_static_pad(spectrum, "sink")};
    gst_pad_add_probe(spectrumIn.get(),
                      GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      &Bypass::onData,
                      new Bypass{analysis.active, gst::PadPtr{GST_PAD(gst_object_ref(out.get()))}},
                      &Bypass::release);
    return analysis;
}

bool isSoundAnalysis(GstMessage* msg) {
    if (GST_MESSAGE_TYPE(msg) != GST_MESSAGE_ELEMENT || !gst_message_has_name(msg, kMessageName)) {
        return false;
    }
    g_posted.fetch_add(1, std::memory_order_relaxed);
    return true;
}

quint64 soundMessagesPosted() {
    return g_posted.load(std::memory_order_relaxed);
}

SoundLevels soundLevels(const float* decibels, int bins, int sampleRate, int count) {
    SoundLevels levels(std::size_t(std::max(count, 0)), 0.0f);
    if (bins < 2 || sampleRate <= 0 || count <= 0) {
        return levels;
    }
    const double binHz = sampleRate / 2.0 / (bins - 1);
    const auto power = [&](int bin) {
        return decibels[bin] > kThresholdDb + 0.5f ? std::pow(10.0, decibels[bin] / 10.0) : 0.0;
    };
    const double step = std::pow(kHighestHz / kLowestHz, 1.0 / count);
    for (int band = 0; band < count; ++band) {
        const double lowHz = kLowestHz * std::pow(step, band);
        const double highHz = lowHz * step;
        // The band's power is the sum of the powers of the analysis bands centred in it, so that
        // sound spread evenly over the octaves (as music roughly is) shows as bars of about the
        // same height. A band narrower than the analysis' (the lowest notes) takes its share of
        // the analysis band it lies in.
        const int first = int(std::ceil(lowHz / binHz));
        const int end = std::min(bins, int(std::ceil(highHz / binHz)));
        double sum = 0.0;
        if (first < end) {
            for (int bin = first; bin < end; ++bin) {
                sum += power(bin);
            }
        } else if (const long bin = std::lround(std::sqrt(lowHz * highHz) / binHz); bin < bins) {
            sum = power(int(bin)) * (highHz - lowHz) / binHz;
        }
        if (sum > 0.0) {
            const double db = 10.0 * std::log10(sum);
            levels[std::size_t(band)] =
                float(std::clamp((db - kFloorDb) / (kTopDb - kFloorDb), 0.0, 1.0));
        }
    }
    return levels;
}

SoundLevels soundLevels(GstMessage* msg) {
    const GstStructure* s = gst_message_get_structure(msg);
    const GValue* magnitudes = s ? gst_structure_get_value(s, "magnitude") : nullptr;
    if (!magnitudes || !GST_VALUE_HOLDS_LIST(magnitudes)) {
        return {};
    }
    // The sample rate of what was measured, from the element that measured it.
    gint rate = 0;
    if (const gst::PadPtr pad{
            gst_element_get_static_pad(GST_ELEMENT(GST_MESSAGE_SRC(msg)), "sink")}) {
        if (GstCaps* caps = gst_pad_get_current_caps(pad.get())) {
            gst_structure_get_int(gst_caps_get_structure(caps, 0), "rate", &rate);
            gst_caps_unref(caps);
        }
    }
    const guint bins = gst_value_list_get_size(magnitudes);
    std::vector<float> decibels(bins);
    for (guint i = 0; i < bins; ++i) {
        decibels[i] = g_value_get_float(gst_value_list_get_value(magnitudes, i));
    }
    return soundLevels(decibels.data(), int(bins), rate, kShownBands);
}

SoundFeed::SoundFeed() {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { deliver({}); });
}

void SoundFeed::setListener(SoundListener listener) {
    m_listener = std::move(listener);
    m_held.clear();
    m_timer.stop();
}

void SoundFeed::measured(GstElement* pipeline, GstMessage* msg) {
    if (!m_listener) {
        return;
    }
    SoundLevels levels = soundLevels(msg);
    if (levels.empty()) {
        return;
    }
    // A measurement covers the interval from its running time on; the middle of it is heard
    // when the pipeline's clock reaches that running time past the base time.
    auto due = Clock::now();
    GstClockTime runningTime = GST_CLOCK_TIME_NONE;
    GstClockTime duration = 0;
    const GstStructure* s = gst_message_get_structure(msg);
    gst_structure_get_clock_time(s, "running-time", &runningTime);
    gst_structure_get_clock_time(s, "duration", &duration);
    if (const gst::ClockPtr clock{gst_element_get_clock(pipeline)};
        clock && GST_CLOCK_TIME_IS_VALID(runningTime)) {
        const GstClockTime heard = gst_element_get_base_time(pipeline) + runningTime + duration / 2;
        const GstClockTimeDiff ahead = GST_CLOCK_DIFF(gst_clock_get_time(clock.get()), heard);
        due += std::min<Clock::duration>(std::chrono::nanoseconds(std::max<gint64>(ahead, 0)),
                                         kMaxAhead);
    }
    if (m_held.size() >= kMaxHeld) {
        m_held.pop_front();
    }
    m_held.emplace_back(due, std::move(levels));
    // Measurements come at an even pace, each the same time ahead of its sound, so each arrival
    // hands over what has become due since the last one: a steady stream wakes this thread once
    // per measurement. The timer only plays out what is held once they stop coming.
    deliver(kArrivalSlack);
}

void SoundFeed::silence() {
    m_held.clear();
    m_timer.stop();
    if (m_listener) {
        m_listener({});
    }
}

void SoundFeed::deliver(Clock::duration slack) {
    // Of what is due, the latest is what sounds now.
    const auto now = Clock::now();
    SoundLevels current;
    while (!m_held.empty() && m_held.front().first <= now) {
        current = std::move(m_held.front().second);
        m_held.pop_front();
    }
    if (m_held.empty()) {
        m_timer.stop();
    } else {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(m_held.front().first - now + slack);
        m_timer.start(int(wait.count()));
    }
    if (!current.empty() && m_listener) {
        m_listener(current);
    }
}

}  // namespace orvane
