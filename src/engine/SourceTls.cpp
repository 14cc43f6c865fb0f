// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SourceTls.h"

// Before any Qt header: GIO names a field "signals", which Qt defines as a keyword.
#include <gio/gio.h>

#include <QFile>
#include <QLoggingCategory>

#include "playlists/TlsTrust.h"

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

namespace {

// The authorities of testCaFile() as the HTTP source takes them; null when it is not set (or
// cannot be read).
GTlsDatabase* testAuthorities() {
    static GTlsDatabase* const database = []() -> GTlsDatabase* {
        const QString file = testCaFile();
        if (file.isEmpty()) {
            return nullptr;
        }
        GError* error = nullptr;
        GTlsDatabase* db = g_tls_file_database_new(QFile::encodeName(file).constData(), &error);
        if (!db) {
            qCWarning(lcEngine) << "cannot read" << file << ":" << error->message;
            g_error_free(error);
        }
        return db;
    }();
    return database;
}

}  // namespace

void setUpSourceTls(GstElement* source) {
    GObjectClass* klass = G_OBJECT_GET_CLASS(source);
    // On by default; said here in case a future default changes.
    if (GParamSpec* pspec = g_object_class_find_property(klass, "ssl-strict");
        pspec && pspec->value_type == G_TYPE_BOOLEAN) {
        g_object_set(source, "ssl-strict", TRUE, nullptr);
    }
    // souphttpsrc ignores ssl-ca-file with libsoup 3; a database is what both versions take.
    GTlsDatabase* authorities = testAuthorities();
    if (authorities && g_object_class_find_property(klass, "tls-database")) {
        g_object_set(source, "tls-database", authorities, nullptr);
    }
}

}  // namespace orvane
