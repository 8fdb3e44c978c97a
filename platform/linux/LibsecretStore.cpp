#include "platform/linux/LibsecretStore.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <memory>

namespace ulvo {

namespace {

struct SecretValueDeleter {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ErrorPtr = glib::GErrorPtr;
using HashTablePtr = glib::GHashTablePtr;
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueDeleter>;
using ObjectListPtr = glib::GObjectListPtr;

// Owns the GError a call may set; pass it where a GError** is expected.
class ErrorSlot {
public:
    GError** out() { return &raw_; }
    ErrorPtr take() {
        ErrorPtr owned(raw_);
        raw_ = nullptr;
        return owned;
    }
    ~ErrorSlot() {
        if (raw_ != nullptr) {
            g_error_free(raw_);
        }
    }
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;

private:
    GError* raw_ = nullptr;
};

HashTablePtr attributesFor(const std::string& service, const std::string& account) {
    HashTablePtr table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(table.get(), g_strdup("service"), g_strdup(service.c_str()));
    g_hash_table_insert(table.get(), g_strdup("account"), g_strdup(account.c_str()));
    return table;
}

// Binary values keep every byte, including ones a C string would cut short.
SecretValuePtr valueFor(const std::string& secret) {
    return SecretValuePtr(secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain"));
}

Failure failure(const ErrorPtr& error, const char* fallback) {
    if (!error) {
        return {fallback};
    }
    return {error->message, error->code};
}

} // namespace

LibsecretStore::LibsecretStore() {
    schema_.name = schemaName;
    schema_.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
    schema_.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema_.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
}

Result<std::optional<std::string>> LibsecretStore::read(const std::string& service,
                                                        const std::string& account) const {
    const HashTablePtr attributes = attributesFor(service, account);
    ErrorSlot error;
    const SecretValuePtr value(
        secret_password_lookupv_binary_sync(&schema_, attributes.get(), nullptr, error.out()));
    if (ErrorPtr lookupError = error.take()) {
        return failure(lookupError, "The keyring could not be read.");
    }
    if (!value) {
        return std::optional<std::string>();
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    if (bytes == nullptr || !g_utf8_validate(bytes, static_cast<gssize>(length), nullptr)) {
        return Failure{"The stored key is not text."};
    }
    return std::optional<std::string>(std::string(bytes, length));
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): SecretStore's signature.
Result<void> LibsecretStore::write(const std::string& service, const std::string& account,
                                   const std::string& secret) {
    const HashTablePtr attributes = attributesFor(service, account);
    const SecretValuePtr value = valueFor(secret);
    ErrorSlot error;
    const ObjectListPtr items(secret_service_search_sync(
        nullptr, &schema_, attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), nullptr, error.out()));
    if (ErrorPtr searchError = error.take()) {
        return failure(searchError, "The keyring could not be searched.");
    }
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        if (!secret_item_set_secret_sync(SECRET_ITEM(node->data), value.get(), nullptr, error.out())) {
            return failure(error.take(), "The keyring refused the key.");
        }
    }
    if (items) {
        return {};
    }
    const std::string label = "ULVO API key (" + account + ")";
    if (!secret_password_storev_binary_sync(&schema_, attributes.get(), SECRET_COLLECTION_DEFAULT,
                                            label.c_str(), value.get(), nullptr, error.out())) {
        return failure(error.take(), "The keyring refused the key.");
    }
    return {};
}

Result<void> LibsecretStore::remove(const std::string& service, const std::string& account) {
    const HashTablePtr attributes = attributesFor(service, account);
    ErrorSlot error;
    // False without an error when nothing was stored.
    secret_password_clearv_sync(&schema_, attributes.get(), nullptr, error.out());
    if (ErrorPtr clearError = error.take()) {
        return failure(clearError, "The keyring could not delete the key.");
    }
    return {};
}

} // namespace ulvo
