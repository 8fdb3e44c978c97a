#pragma once

#include <gio/gio.h>
#include <glib-object.h>

#include <cstddef>
#include <memory>
#include <utility>

namespace ulvo::glib {

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

// A list whose items it does not own (GTK's list of windows, for one).
struct GListFree {
    void operator()(GList* list) const { g_list_free(list); }
};
using GListPtr = std::unique_ptr<GList, GListFree>;

// An id one GLib call handed out and another ends (a signal handler, a bus subscription, a main-loop
// source), ended when its holder goes; what it belongs to must outlive it. forget(): it has ended itself.
template <typename Owner, typename Id, void (*End)(Owner, Id)> class OwnedId {
public:
    OwnedId() = default;
    OwnedId(Owner owner, Id id)
        : owner_(owner)
        , id_(id) {}
    OwnedId(OwnedId&& other) noexcept
        : owner_(std::exchange(other.owner_, Owner{}))
        , id_(std::exchange(other.id_, 0)) {}
    OwnedId& operator=(OwnedId&& other) noexcept {
        if (this != &other) {
            end();
            owner_ = std::exchange(other.owner_, Owner{});
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    OwnedId(const OwnedId&) = delete;
    OwnedId& operator=(const OwnedId&) = delete;
    ~OwnedId() { end(); }

    void end() {
        if (id_ != 0) {
            End(owner_, id_);
        }
        owner_ = Owner{};
        id_ = 0;
    }
    void forget() { id_ = 0; }
    explicit operator bool() const { return id_ != 0; }

private:
    Owner owner_{};
    Id id_ = 0;
};

inline void disconnectHandler(gpointer instance, gulong id) {
    g_signal_handler_disconnect(instance, id);
}
inline void unsubscribeSignal(GDBusConnection* bus, guint id) {
    g_dbus_connection_signal_unsubscribe(bus, id);
}
inline void removeSource(std::nullptr_t /*context*/, guint id) {
    g_source_remove(id);
}

using SignalConnection = OwnedId<gpointer, gulong, &disconnectHandler>;
using BusSubscription = OwnedId<GDBusConnection*, guint, &unsubscribeSignal>;

// A source on the default main context; forget() once its callback has returned G_SOURCE_REMOVE.
class SourceId : public OwnedId<std::nullptr_t, guint, &removeSource> {
public:
    SourceId() = default;
    explicit SourceId(guint id)
        : OwnedId(nullptr, id) {}
    // Removes the source held now, then holds `id`.
    void reset(guint id = 0) { *this = SourceId(id); }
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

} // namespace ulvo::glib
