// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/DecoderPolicy.h"

#include <gst/base/gsttypefindhelper.h>
#include <gst/gst.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace orvane {

namespace {

// The decoders a radio stream should get. FFmpeg's duplicates have the same rank (avdec_mp3 and
// mpg123audiodec are both MARGINAL, and decodebin breaks the tie by name, in FFmpeg's favour) or a
// higher one (avdec_aac is PRIMARY, faad SECONDARY). Loading FFmpeg maps libavcodec,
// libavformat and libavfilter with everything they pull in, some 40 MB, for work that these do
// with less memory and CPU. Above every FFmpeg rank they win the tie; FFmpeg keeps its own
// rank, so it still decodes what none of them can, and takes over if one of them fails.
constexpr const char* kNativeDecoders[] = {
    "mpg123audiodec",               // MP3 (and MPEG-1 layers 1 and 2)
    "faad",           "fdkaacdec",  // AAC, including HE-AAC v1 and v2
    "vorbisdec",      "opusdec",   "flacdec",
};
constexpr guint kNativeRank = GST_RANK_PRIMARY + 1;

// The plug-in whose typefinders recognise every common format without loading anything else.
constexpr const char* kCoreTypefinders = "typefindfunctions";

// A typefinder only loses its say when another one is this sure of the data.
constexpr GstTypeFindProbability kSureEnough = GST_TYPE_FIND_LIKELY;

// How much of the stream the core typefinders look at again; the first that the data covers.
// With less than the smallest, nothing is decided yet: typefinding asks again when more data is
// in, and a few frames of MP3 are too few for its typefinder to be sure.
constexpr guint kProbeSizes[] = {16384, 4096};

// Set while the core typefinders run again on behalf of deferredTypeFind() on this thread.
thread_local bool t_reprobing = false;

// Typefinding asks every registered typefinder in turn until one is certain, and asking one
// loads its plug-in. MP3 is seldom called certain (a stream can start anywhere), so on every
// radio stream that meant loading FFmpeg (it brings typefinders for two dozen game and
// multimedia formats) and the subtitle parser. Those typefinders now sit behind this one, which
// runs last and calls them only when the core typefinders are not fairly sure of the data.
void deferredTypeFind(GstTypeFind* find, gpointer data) {
    if (t_reprobing) {
        return;
    }
    bool probed = false;
    for (const guint size : kProbeSizes) {
        const guint8* bytes = gst_type_find_peek(find, 0, size);
        if (!bytes) {
            continue;
        }
        probed = true;
        t_reprobing = true;
        GstTypeFindProbability probability = GST_TYPE_FIND_NONE;
        GstCaps* caps = gst_type_find_helper_for_data(nullptr, bytes, size, &probability);
        t_reprobing = false;
        if (caps) {
            gst_caps_unref(caps);
        }
        if (probability >= kSureEnough) {
            return;
        }
        break;
    }
    if (!probed) {
        return;
    }
    for (GstTypeFindFactory* factory : *static_cast<std::vector<GstTypeFindFactory*>*>(data)) {
        gst_type_find_factory_call_function(factory, find);
    }
}

void preferNativeDecoders(GstRegistry* registry) {
    for (const char* name : kNativeDecoders) {
        GstPluginFeature* feature = gst_registry_lookup_feature(registry, name);
        if (!feature) {
            continue;  // not installed here
        }
        if (gst_plugin_feature_get_rank(feature) < kNativeRank) {
            gst_plugin_feature_set_rank(feature, kNativeRank);
        }
        gst_object_unref(feature);
    }
}

// A radio player shows no pictures, so decoders of video and images are never chosen: they keep
// their plug-ins but fall below the rank decodebin plugs. At their usual ranks, playbin reads the
// output formats of every one of them (some 250, most of them FFmpeg's) when it ranks the
// decoders for a stream, even an audio-only one, and keeps the parsed formats for the life of the
// process: 2 MiB of heap. The sound of a stream that also carries pictures still plays; the
// pictures were never shown.
bool decodesPicturesOnly(GstElementFactory* factory) {
    const gchar* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    return klass && std::strstr(klass, "Decoder") && !std::strstr(klass, "Audio") &&
           (std::strstr(klass, "Video") || std::strstr(klass, "Image"));
}

void retirePictureDecoders(GstRegistry* registry) {
    GList* all = gst_registry_get_feature_list(registry, GST_TYPE_ELEMENT_FACTORY);
    for (GList* item = all; item; item = item->next) {
        if (decodesPicturesOnly(GST_ELEMENT_FACTORY(item->data))) {
            gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(item->data), GST_RANK_NONE);
        }
    }
    gst_plugin_feature_list_free(all);
}

void deferForeignTypefinders(GstRegistry* registry) {
    // Lives as long as the process: the proxy may run on any streaming thread until exit.
    static std::vector<GstTypeFindFactory*> deferred;
    GList* all = gst_registry_get_feature_list(registry, GST_TYPE_TYPE_FIND_FACTORY);
    for (GList* item = all; item; item = item->next) {
        auto* feature = GST_PLUGIN_FEATURE(item->data);
        if (g_strcmp0(gst_plugin_feature_get_plugin_name(feature), kCoreTypefinders) == 0) {
            continue;
        }
        // Out of the registry only; this process keeps the factory (and its reference) here.
        deferred.push_back(GST_TYPE_FIND_FACTORY(gst_object_ref(feature)));
        gst_registry_remove_feature(registry, feature);
    }
    gst_plugin_feature_list_free(all);
    if (!deferred.empty()) {
        gst_type_find_register(nullptr, "orvane-deferred-typefinders", GST_RANK_NONE,
                               deferredTypeFind, nullptr, nullptr, &deferred, nullptr);
    }
}

}  // namespace

void initDecoderPolicy() {
    static std::once_flag once;
    std::call_once(once, [] {
        GstRegistry* registry = gst_registry_get();
        preferNativeDecoders(registry);
        retirePictureDecoders(registry);
        deferForeignTypefinders(registry);
    });
}

}  // namespace orvane
