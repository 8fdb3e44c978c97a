#pragma once

#include <gio/gio.h>
#include <glib-object.h>

#include <memory>
#include <utility>

namespace ulvo::gtk {

// Owners of GLib and GObject handles, shared by every platform adapter.

// Owns one reference of a GObject.
template <typename T> struct GObjectUnref {
    void operator()(T* object) const {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref<T>>;

struct GFreeDeleter {
    void operator()(void* memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct GVariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GStrvFree {
    void operator()(gchar** strings) const { g_strfreev(strings); }
};
using GStrvPtr = std::unique_ptr<gchar*, GStrvFree>;

struct GBytesUnref {
    void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};
using GBytesPtr = std::unique_ptr<GBytes, GBytesUnref>;

struct GArrayUnref {
    void operator()(GArray* array) const { g_array_unref(array); }
};
using GArrayPtr = std::unique_ptr<GArray, GArrayUnref>;

struct GHashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using GHashTablePtr = std::unique_ptr<GHashTable, GHashTableUnref>;

struct GSettingsSchemaUnref {
    void operator()(GSettingsSchema* schema) const { g_settings_schema_unref(schema); }
};
using GSettingsSchemaPtr = std::unique_ptr<GSettingsSchema, GSettingsSchemaUnref>;

struct GKeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using GKeyFilePtr = std::unique_ptr<GKeyFile, GKeyFileFree>;

// A list of GObjects, each holding a reference.
struct GObjectListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using GObjectListPtr = std::unique_ptr<GList, GObjectListFree>;

// A main-loop source, removed when its owner goes unless it has ended itself (forget() then).
class SourceId {
public:
    SourceId() = default;
    explicit SourceId(guint id)
        : id_(id) {}
    SourceId(SourceId&& other) noexcept
        : id_(std::exchange(other.id_, 0)) {}
    SourceId& operator=(SourceId&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.id_, 0));
        }
        return *this;
    }
    SourceId(const SourceId&) = delete;
    SourceId& operator=(const SourceId&) = delete;
    ~SourceId() { reset(); }

    // Removes the source held now, then holds `id`.
    void reset(guint id = 0) {
        if (id_ != 0) {
            g_source_remove(id_);
        }
        id_ = id;
    }
    // The source's callback returned G_SOURCE_REMOVE: there is nothing left to remove.
    void forget() { id_ = 0; }
    explicit operator bool() const { return id_ != 0; }

private:
    guint id_ = 0;
};

// A signal handler, disconnected when its owner goes; the instance must outlive it.
class SignalConnection {
public:
    SignalConnection() = default;
    SignalConnection(gpointer instance, gulong id)
        : instance_(instance)
        , id_(id) {}
    SignalConnection(SignalConnection&& other) noexcept
        : instance_(std::exchange(other.instance_, nullptr))
        , id_(std::exchange(other.id_, 0)) {}
    SignalConnection& operator=(SignalConnection&& other) noexcept {
        if (this != &other) {
            disconnect();
            instance_ = std::exchange(other.instance_, nullptr);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    SignalConnection(const SignalConnection&) = delete;
    SignalConnection& operator=(const SignalConnection&) = delete;
    ~SignalConnection() { disconnect(); }

    void disconnect() {
        if (id_ != 0) {
            g_signal_handler_disconnect(instance_, id_);
        }
        instance_ = nullptr;
        id_ = 0;
    }

private:
    gpointer instance_ = nullptr;
    gulong id_ = 0;
};

// A signal subscription on a D-Bus connection, ended with its owner; the connection must outlive it.
class BusSubscription {
public:
    BusSubscription() = default;
    BusSubscription(GDBusConnection* bus, guint id)
        : bus_(bus)
        , id_(id) {}
    BusSubscription(BusSubscription&& other) noexcept
        : bus_(std::exchange(other.bus_, nullptr))
        , id_(std::exchange(other.id_, 0)) {}
    BusSubscription& operator=(BusSubscription&& other) noexcept {
        if (this != &other) {
            end();
            bus_ = std::exchange(other.bus_, nullptr);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    BusSubscription(const BusSubscription&) = delete;
    BusSubscription& operator=(const BusSubscription&) = delete;
    ~BusSubscription() { end(); }

    void end() {
        if (id_ != 0) {
            g_dbus_connection_signal_unsubscribe(bus_, id_);
        }
        bus_ = nullptr;
        id_ = 0;
    }

private:
    GDBusConnection* bus_ = nullptr;
    guint id_ = 0;
};

// User data a C callback owns: box() hands a value over, unbox() takes it back, once.
template <typename T> gpointer box(T value) {
    return new T(std::move(value));
}
template <typename T> std::unique_ptr<T> unbox(gpointer data) {
    return std::unique_ptr<T>(static_cast<T*>(data));
}
// The destroy notify of boxed data that stays with a source.
template <typename T> void deleteBoxed(gpointer data) {
    delete static_cast<T*>(data);
}

// GObject's single inheritance puts every base at the start of the instance, so these casts are
// what the toolkit's own cast macros do, without their old-style casts.
template <typename To, typename From> To* as(From* object) {
    return reinterpret_cast<To*>(object);
}

template <typename Function> GCallback callback(Function* function) {
    return reinterpret_cast<GCallback>(function);
}

// Connects a handler whose user data outlives the connection (disconnect it with the owner).
template <typename Instance, typename Function>
gulong connect(Instance* instance, const char* signal, Function* function, void* data, bool after = false) {
    return g_signal_connect_data(instance, signal, callback(function), data, nullptr,
                                 after ? G_CONNECT_AFTER : GConnectFlags{});
}

// Connects a handler whose user data, a T, the connection owns and frees when it ends.
template <typename T, typename Instance, typename Function>
gulong connectOwning(Instance* instance, const char* signal, Function* function, T data) {
    return g_signal_connect_data(
        instance, signal, callback(function), box(std::move(data)),
        [](gpointer boxed, GClosure*) { delete static_cast<T*>(boxed); }, GConnectFlags{});
}

} // namespace ulvo::gtk
