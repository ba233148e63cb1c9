#include "TestHub.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "hub/Curl.h"

namespace hub::testing {
namespace {

// What a plain GET with an optional Range brings back from the test hub.
struct Fetched {
    CURLcode result = CURLE_OK;
    long status = 0;
    std::string body;
    std::string contentRange;
};

Fetched fetch(const std::string& url, const char* range = nullptr) {
    const CurlApi& api = curlLibrary();
    std::unique_ptr<CURL, decltype(api.easy_cleanup)> easy(api.easy_init(), api.easy_cleanup);
    Fetched fetched;
    setCurlOption(easy.get(), CURLOPT_URL, url.c_str());
    setCurlOption(easy.get(), CURLOPT_FOLLOWLOCATION, 1L);
    if (range != nullptr) {
        setCurlOption(easy.get(), CURLOPT_RANGE, range);
    }
    setCurlOption(
        easy.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
            static_cast<std::string*>(out)->append(data, size * count);
            return size * count;
        });
    setCurlOption(easy.get(), CURLOPT_WRITEDATA, &fetched.body);
    setCurlOption(
        easy.get(), CURLOPT_HEADERFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
            const std::string line(data, size * count);
            if (line.rfind("Content-Range: ", 0) == 0) {
                *static_cast<std::string*>(out) = line.substr(15, line.find('\r') - 15);
            }
            return size * count;
        });
    setCurlOption(easy.get(), CURLOPT_HEADERDATA, &fetched.contentRange);
    fetched.result = api.easy_perform(easy.get());
    curlInfo(easy.get(), CURLINFO_RESPONSE_CODE, &fetched.status);
    return fetched;
}

// A hub taken down the moment it is made stops, whether or not its loops have started: a child
// process makes and destroys hubs in a row under an alarm, so a hang fails instead of stalling the
// run.
TEST(TestHub, StopsRightAfterItStarts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(60);
            for (int i = 0; i < 50; ++i) {
                TestHub hub;
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TestHub, ServesBodiesWithRangesAndFaults) {
    TestHub hub;
    const Repo repo("o/m");
    hub.addFile(repo, "small.txt", "0123456789");
    hub.addFile(repo, "large.bin", "abcdefghij", {.large = true});
    const std::string small = hub.endpoint() + "/o/m/resolve/main/small.txt";
    const std::string large = hub.endpoint() + "/o/m/resolve/main/large.bin";

    const struct {
        const char* name;
        std::string url;
        const char* range;
        std::optional<TestFault> fault;
        CURLcode result;
        long status;
        std::string body;
        std::string contentRange;
    } cases[] = {
        {"whole", small, nullptr, std::nullopt, CURLE_OK, 200, "0123456789", ""},
        {"open range", small, "3-", std::nullopt, CURLE_OK, 206, "3456789", "bytes 3-9/10"},
        {"range via the store", large, "8-", std::nullopt, CURLE_OK, 206, "ij", "bytes 8-9/10"},
        {"past the end", small, "10-", std::nullopt, CURLE_OK, 416, "", "bytes */10"},
        {"range ignored", small, "3-", TestFault{.ignoreRange = true}, CURLE_OK, 200, "0123456789",
         ""},
        {"cut", large, nullptr, TestFault{.cutAfter = 4}, CURLE_PARTIAL_FILE, 200, "abcd", ""},
        {"cut once", small, nullptr, TestFault{.times = 0, .cutAfter = 4}, CURLE_OK, 200,
         "0123456789", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hub.clearFaults();
        if (c.fault) {
            hub.addFault(*c.fault);
        }
        const Fetched fetched = fetch(c.url, c.range);
        EXPECT_EQ(fetched.result, c.result);
        EXPECT_EQ(fetched.status, c.status);
        EXPECT_EQ(fetched.body, c.body);
        EXPECT_EQ(fetched.contentRange, c.contentRange);
    }
}

TEST(TestHub, StalledBodyGoesOnWhenReleased) {
    TestHub hub;
    hub.addFile(Repo("o/m"), "f.bin", "0123456789");
    hub.addFault({.stallAfter = 6});
    std::thread release([&] {
        hub.waitUntilStalled();
        hub.releaseStalls();
    });
    const Fetched fetched = fetch(hub.endpoint() + "/o/m/resolve/main/f.bin");
    release.join();
    EXPECT_EQ(fetched.result, CURLE_OK);
    EXPECT_EQ(fetched.body, "0123456789");
}

}  // namespace
}  // namespace hub::testing
