// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SoundAnalysis.h"

#include <gst/gst.h>

#include <gst/audio/audio.h>
#include <gst/fft/gstfftf32.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "engine/GstPtr.h"

namespace orvane {

namespace {

// One transform of 1024 samples per measurement: 513 bands of 43 Hz at 44.1 kHz, so the shown
// bands are narrower than an analysis band only below 200 Hz. A power of two is what the
// transform is fastest at.
constexpr int kWindowSamples = 1024;
constexpr int kAnalysisBands = kWindowSamples / 2 + 1;
// Fifteen measurements a second: enough for a display that moves smoothly. Each one wakes the
// window to draw it, which costs far more than measuring.
constexpr int kPerSecond = 15;
// Below this a band counts as silent.
constexpr gint kThresholdDb = -80;
constexpr const char* kMessageName = "sound-levels";
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

// The power of each analysis band (full scale 1), quieter than the threshold as 0, gathered into
// the shown bands.
template <typename Power>
SoundLevels levelsFromPower(const Power& power, int bins, int sampleRate, int count) {
    SoundLevels levels(std::size_t(std::max(count, 0)), 0.0f);
    if (bins < 2 || sampleRate <= 0 || count <= 0) {
        return levels;
    }
    const double binHz = sampleRate / 2.0 / (bins - 1);
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

// Measures the audio on its way to the output, on the streaming thread: the channels mixed into
// one, and every 1/15 s a Fourier transform of the last 1024 samples, gathered into the shown
// bands and posted as a small message. One transform per measurement, not one per 1024 samples,
// and no per-band message: the display needs no more, and the window reads 24 numbers.
class Analyser {
  public:
    explicit Analyser(std::shared_ptr<std::atomic<bool>> active)
        : m_active(std::move(active)), m_fft(gst_fft_f32_new(kWindowSamples, FALSE)) {
        gst_segment_init(&m_segment, GST_FORMAT_TIME);
        gst_audio_info_init(&m_info);
        // The same Hamming window as GStreamer's own spectrum, computed once.
        for (int i = 0; i < kWindowSamples; ++i) {
            m_window[std::size_t(i)] =
                float(0.53836 - 0.46164 * std::cos(2.0 * G_PI * i / kWindowSamples));
        }
    }
    ~Analyser() { gst_fft_f32_free(m_fft); }
    Analyser(const Analyser&) = delete;
    Analyser& operator=(const Analyser&) = delete;

    static GstPadProbeReturn onData(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
        auto* self = static_cast<Analyser*>(data);
        if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
            self->onEvent(GST_PAD_PROBE_INFO_EVENT(info));
        } else if (!self->m_active->load(std::memory_order_relaxed)) {
            // Off: nothing is examined, and what was gathered before is stale.
            self->m_filled = 0;
        } else if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
            GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
            for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
                self->onBuffer(pad, gst_buffer_list_get(list, i));
            }
        } else {
            self->onBuffer(pad, GST_PAD_PROBE_INFO_BUFFER(info));
        }
        return GST_PAD_PROBE_OK;
    }
    static void release(gpointer data) { delete static_cast<Analyser*>(data); }

  private:
    void onEvent(GstEvent* event) {
        switch (GST_EVENT_TYPE(event)) {
            case GST_EVENT_CAPS: {
                GstCaps* caps = nullptr;
                gst_event_parse_caps(event, &caps);
                if (!gst_audio_info_from_caps(&m_info, caps)) {
                    gst_audio_info_init(&m_info);
                }
                m_filled = 0;
                break;
            }
            case GST_EVENT_SEGMENT:
                gst_event_copy_segment(event, &m_segment);
                m_filled = 0;
                break;
            case GST_EVENT_FLUSH_STOP:
                m_filled = 0;
                break;
            default:
                break;
        }
    }

    void onBuffer(GstPad* pad, GstBuffer* buffer) {
        const int rate = GST_AUDIO_INFO_RATE(&m_info);
        const int channels = GST_AUDIO_INFO_CHANNELS(&m_info);
        const int frameBytes = GST_AUDIO_INFO_BPF(&m_info);
        if (!m_info.finfo || rate <= 0 || channels <= 0 || frameBytes <= 0) {
            return;
        }
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            return;
        }
        const auto frames = gsize(map.size) / gsize(frameBytes);
        GstClockTime start = GST_CLOCK_TIME_NONE;
        if (GST_BUFFER_PTS_IS_VALID(buffer) && m_segment.format == GST_FORMAT_TIME) {
            start =
                gst_segment_to_running_time(&m_segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
        }
        switch (GST_AUDIO_INFO_FORMAT(&m_info)) {
            case GST_AUDIO_FORMAT_S16:
                gather<gint16>(pad, map.data, frames, channels, rate, start, 1.0f / 32768.0f);
                break;
            case GST_AUDIO_FORMAT_S32:
                gather<gint32>(pad, map.data, frames, channels, rate, start, 1.0f / 2147483648.0f);
                break;
            case GST_AUDIO_FORMAT_F32:
                gather<gfloat>(pad, map.data, frames, channels, rate, start, 1.0f);
                break;
            default:
                break;
        }
        gst_buffer_unmap(buffer, &map);
    }

    template <typename Sample>
    void gather(GstPad* pad, const guint8* data, gsize frames, int channels, int rate,
                GstClockTime start, float scale) {
        const auto* samples = reinterpret_cast<const Sample*>(data);
        const float mix = scale / float(channels);
        const int interval = std::max(1, rate / kPerSecond);
        for (gsize f = 0; f < frames; ++f) {
            float sum = 0.0f;
            for (int c = 0; c < channels; ++c) {
                sum += float(samples[f * gsize(channels) + gsize(c)]);
            }
            m_ring[std::size_t(m_next)] = sum * mix;
            m_next = (m_next + 1) % kWindowSamples;
            m_filled = std::min(m_filled + 1, kWindowSamples);
            if (++m_sinceLast >= interval && m_filled == kWindowSamples) {
                m_sinceLast = 0;
                // The window's first sample, as a running time.
                GstClockTime at = GST_CLOCK_TIME_NONE;
                const auto before = gint64(f + 1) - kWindowSamples;
                if (GST_CLOCK_TIME_IS_VALID(start)) {
                    const GstClockTimeDiff offset =
                        before * GstClockTimeDiff(GST_SECOND) / GstClockTimeDiff(rate);
                    at = offset < 0 && GstClockTime(-offset) > start
                             ? 0
                             : GstClockTime(GstClockTimeDiff(start) + offset);
                }
                post(pad, at, rate);
            }
        }
    }

    void post(GstPad* pad, GstClockTime runningTime, int rate) {
        for (int i = 0; i < kWindowSamples; ++i) {
            m_input[std::size_t(i)] =
                m_ring[std::size_t((m_next + i) % kWindowSamples)] * m_window[std::size_t(i)];
        }
        gst_fft_f32_fft(m_fft, m_input.data(), m_spectrum.data());
        // Scaled as GStreamer's spectrum scales it: a full-scale tone near -11 dB.
        constexpr double kNorm = double(kWindowSamples) * kWindowSamples;
        static const double silent = std::pow(10.0, (kThresholdDb + 0.5) / 10.0);
        const SoundLevels levels = levelsFromPower(
            [&](int bin) {
                const GstFFTF32Complex& c = m_spectrum[std::size_t(bin)];
                const double p = (double(c.r) * c.r + double(c.i) * c.i) / kNorm;
                return p > silent ? p : 0.0;
            },
            kAnalysisBands, rate, kShownBands);

        GValue list = G_VALUE_INIT;
        g_value_init(&list, GST_TYPE_LIST);
        for (const float level : levels) {
            GValue value = G_VALUE_INIT;
            g_value_init(&value, G_TYPE_FLOAT);
            g_value_set_float(&value, level);
            gst_value_list_append_and_take_value(&list, &value);
        }
        GstStructure* s = gst_structure_new(
            kMessageName, "duration", G_TYPE_UINT64,
            guint64(gst_util_uint64_scale_int(kWindowSamples, GST_SECOND, rate)), nullptr);
        if (GST_CLOCK_TIME_IS_VALID(runningTime)) {
            gst_structure_set(s, "running-time", G_TYPE_UINT64, guint64(runningTime), nullptr);
        }
        gst_structure_take_value(s, "levels", &list);
        if (const gst::ElementPtr element{gst_pad_get_parent_element(pad)}) {
            gst_element_post_message(element.get(),
                                     gst_message_new_element(GST_OBJECT(element.get()), s));
        } else {
            gst_structure_free(s);
        }
    }

    std::shared_ptr<std::atomic<bool>> m_active;
    GstFFTF32* m_fft;
    GstAudioInfo m_info;
    GstSegment m_segment;
    std::array<float, kWindowSamples> m_window{};
    std::array<float, kWindowSamples> m_ring{};
    std::array<float, kWindowSamples> m_input{};
    std::array<GstFFTF32Complex, kAnalysisBands> m_spectrum{};
    int m_next = 0;       // where the next sample goes in the ring
    int m_filled = 0;     // how many of the ring's samples are of the current sound
    int m_sinceLast = 0;  // samples since the last measurement
};

}  // namespace

SoundAnalysis createSoundAnalysis() {
    GstElement* convert = gst_element_factory_make("audioconvert", nullptr);
    GstElement* formats = gst_element_factory_make("capsfilter", nullptr);
    if (!convert || !formats) {
        for (GstElement* e : {convert, formats}) {
            if (e) {
                gst_object_unref(gst_object_ref_sink(e));
            }
        }
        return {};
    }
    // The sample formats the analysis reads. Decoders give one of them, so the conversion is
    // a pass-through but for rare streams.
    GstCaps* caps = gst_caps_from_string("audio/x-raw, format=(string){ " GST_AUDIO_NE(
        S16) ", " GST_AUDIO_NE(S32) ", " GST_AUDIO_NE(F32) " }, layout=(string)interleaved");
    g_object_set(formats, "caps", caps, nullptr);
    gst_caps_unref(caps);

    GstElement* bin = gst_bin_new("sound-analysis");
    gst_bin_add_many(GST_BIN(bin), convert, formats, nullptr);
    gst_element_link(convert, formats);
    const gst::PadPtr in{gst_element_get_static_pad(convert, "sink")};
    const gst::PadPtr out{gst_element_get_static_pad(formats, "src")};
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", in.get()));
    gst_element_add_pad(bin, gst_ghost_pad_new("src", out.get()));

    SoundAnalysis analysis{bin, std::make_shared<std::atomic<bool>>(false)};
    gst_pad_add_probe(out.get(),
                      GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                      GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      &Analyser::onData, new Analyser(analysis.active), &Analyser::release);
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
    return levelsFromPower(
        [decibels](int bin) {
            return decibels[bin] > kThresholdDb + 0.5f ? std::pow(10.0, decibels[bin] / 10.0) : 0.0;
        },
        bins, sampleRate, count);
}

SoundLevels soundLevels(GstMessage* msg) {
    const GstStructure* s = gst_message_get_structure(msg);
    const GValue* levels = s ? gst_structure_get_value(s, "levels") : nullptr;
    if (!levels || !GST_VALUE_HOLDS_LIST(levels)) {
        return {};
    }
    SoundLevels result(gst_value_list_get_size(levels));
    for (guint i = 0; i < result.size(); ++i) {
        const GValue* level = gst_value_list_get_value(levels, i);
        result[i] = G_VALUE_HOLDS_FLOAT(level) ? g_value_get_float(level) : 0.0f;
    }
    return result;
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
