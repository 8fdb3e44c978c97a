#pragma once

#include <glib-object.h>

#include <memory>

namespace ulvo::gtk {

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

} // namespace ulvo::gtk
