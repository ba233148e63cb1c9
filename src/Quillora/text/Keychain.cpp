#include "quillora/text/Keychain.h"

#include <libsecret/secret.h>

#include <memory>

namespace quillora {

namespace {

const SecretSchema* schema() {
    // Items are found by their attributes whatever schema name another program stored them with.
    static const SecretSchema definition = [] {
        SecretSchema schema{};
        schema.name = "com.quillora.Quillora.Password";
        schema.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        schema.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return schema;  // the zeroed entry after the last attribute ends the list
    }();
    return &definition;
}

struct ErrorDeleter {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};
using ErrorHandle = std::unique_ptr<GError, ErrorDeleter>;

struct PasswordDeleter {
    void operator()(gchar* password) const noexcept { secret_password_free(password); }
};
using PasswordHandle = std::unique_ptr<gchar, PasswordDeleter>;

[[noreturn]] void fail(const char* doing, GError* raw) {
    ErrorHandle error(raw);
    const std::string detail = error && error->message ? error->message : "unknown error";
    // Without a bus, or with nobody owning the Secret Service's name on it, there is nowhere to
    // keep the key: say so plainly, the D-Bus detail alone does not tell the user what to do.
    if (error && (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR)) {
        throw Keychain::Error(
            std::string("No Secret Service is available to ") + doing +
            " the API key (is a keyring such as GNOME Keyring running?): " + detail);
    }
    throw Keychain::Error(std::string("The keyring could not ") + doing +
                          " the API key: " + detail);
}

}  // namespace

std::optional<std::string> Keychain::get(const std::string& account) {
    const std::string serviceName(service);
    GError* error = nullptr;
    PasswordHandle password(secret_password_lookup_sync(schema(), nullptr, &error, "service",
                                                        serviceName.c_str(), "account",
                                                        account.c_str(), nullptr));
    if (error) {
        fail("read", error);
    }
    if (!password || !g_utf8_validate(password.get(), -1, nullptr)) {
        return std::nullopt;
    }
    return std::string(password.get());
}

void Keychain::set(std::string_view value, const std::string& account) {
    const std::string serviceName(service);
    // Delete first, so that no older copy in another collection outlives the new one.
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "service", serviceName.c_str(), "account",
                               account.c_str(), nullptr);
    if (error) {
        fail("delete", error);
    }
    if (value.empty()) {
        return;
    }
    // The Secret Service takes the text up to its first NUL: it would keep another key.
    if (value.find('\0') != std::string_view::npos) {
        throw Keychain::Error("The API key contains a NUL character and cannot be stored.");
    }
    const std::string text(value);
    const std::string label = "Quillora (" + account + ")";
    secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), text.c_str(),
                               nullptr, &error, "service", serviceName.c_str(), "account",
                               account.c_str(), nullptr);
    if (error) {
        fail("store", error);
    }
}

}  // namespace quillora
