// The API key in a real Secret Service: GNOME Keyring on a private session bus.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "PrivateHome.h"
#include "SessionBus.h"
#include "quillora/text/Keychain.h"

namespace quillora {
namespace {

namespace fs = std::filesystem;
using testing::PrivateHome;
using testing::SessionBus;

const std::string kAccount(Keychain::apiKeyAccount);

// The files below `folder` whose bytes contain `text`.
std::vector<fs::path> filesHolding(const fs::path& folder, const std::string& text) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (bytes.str().find(text) != std::string::npos) {
            found.push_back(entry.path());
        }
    }
    return found;
}

TEST(Keychain, StoresReadsReplacesAndDeletesTheKey) {
    PrivateHome home;
    SessionBus bus(home);
    EXPECT_EQ(Keychain::get(kAccount), std::nullopt);

    Keychain::set("sk-ant-first-key", kAccount);
    EXPECT_EQ(Keychain::get(kAccount), "sk-ant-first-key");
    Keychain::set("sk-ant-second-key \u00e9", kAccount);
    EXPECT_EQ(Keychain::get(kAccount), "sk-ant-second-key \u00e9");
    EXPECT_EQ(Keychain::get("another-account"), std::nullopt);

    // Kept by the keyring, encrypted: in no file of the home in the clear, the settings
    // included.
    EXPECT_TRUE(fs::exists(home.dataHome() / "keyrings"));
    EXPECT_EQ(filesHolding(home.path(), "sk-ant-second-key"), std::vector<fs::path>{});

    Keychain::set("", kAccount);
    EXPECT_EQ(Keychain::get(kAccount), std::nullopt);
    Keychain::set("", kAccount);  // nothing to delete is no error
    EXPECT_THROW(Keychain::set(std::string("sk\0x", 4), kAccount), Keychain::Error);
}

TEST(Keychain, WithoutASecretServiceTheErrorSaysSo) {
    PrivateHome home;
    SessionBus bus(home, {.keyring = false});
    for (const auto& call : {+[] { Keychain::set("sk-ant-key", kAccount); },
                             +[] { static_cast<void>(Keychain::get(kAccount)); }}) {
        try {
            call();
            ADD_FAILURE() << "no error without a Secret Service";
        } catch (const Keychain::Error& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("No Secret Service is available to "))
                << e.what();
        }
    }
    EXPECT_EQ(filesHolding(home.path(), "sk-ant-key"), std::vector<fs::path>{});
}

}  // namespace
}  // namespace quillora
