#include <gtest/gtest.h>

#include <thread>

#include "TestHub.h"
#include "TestSupport.h"
#include "hub/HubApi.h"

namespace hub {
namespace {

using testing::caught;
using testing::TestHub;

class HubRequests : public ::testing::Test {
protected:
    HubRequests() { hub.addFile(repo, "config.json", "{}"); }

    HubApi client(std::optional<std::string> token = "secret") const {
        return HubApi({.hubToken = std::move(token), .endpoint = hub.endpoint()});
    }
    std::string fileURL(const std::string& name = "config.json") const {
        return hub.endpoint() + "/owner/model/resolve/main/" + name;
    }

    TestHub hub;
    const Repo repo{"owner/model"};
};

TEST_F(HubRequests, AuthorizationCarriesTheTokenWithoutLineBreaks) {
    const struct {
        std::optional<std::string> token;
        std::optional<std::string> header;
    } cases[] = {
        {std::nullopt, std::nullopt}, {"", std::nullopt},       {"abc", "Bearer abc"},
        {" abc", "Bearer  abc"},      {"abc\n", "Bearer abc"},  // as read from a token file
        {"abc \r\n", "Bearer abc"},   {"ab\ncd", std::nullopt}, {"\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.token ? "\"" + *c.token + "\"" : "no token");
        hub.clearRequests();
        client(c.token).httpGet(fileURL());
        client(c.token).httpHead(fileURL());
        const auto requests = hub.requests();
        ASSERT_EQ(requests.size(), 2u);
        for (const auto& request : requests) {
            EXPECT_EQ(request.header("Authorization"), c.header) << request.method;
        }
        EXPECT_EQ(requests[1].method, "HEAD");
        EXPECT_EQ(requests[1].header("Accept-Encoding"), "identity");
    }
}

TEST_F(HubRequests, StatusesMapToClientErrors) {
    const struct {
        int status;
        std::optional<HubClientError> get;  // none: success
        std::optional<HubClientError> head;
    } cases[] = {
        {200, std::nullopt, std::nullopt},
        {304, HubClientError::httpStatusCode(304), std::nullopt},
        {401, HubClientError::authorizationRequired(), HubClientError::authorizationRequired()},
        {403, HubClientError::authorizationRequired(), HubClientError::authorizationRequired()},
        {404, HubClientError::fileNotFound("config.json"),
         HubClientError::fileNotFound("config.json")},
        {416, HubClientError::httpStatusCode(416), HubClientError::httpStatusCode(416)},
        {500, HubClientError::httpStatusCode(500), HubClientError::httpStatusCode(500)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        hub.clearFaults();
        if (c.status != 200) {
            hub.addFault({.status = c.status});
        }
        for (const bool head : {false, true}) {
            const auto& expected = head ? c.head : c.get;
            try {
                if (head) {
                    EXPECT_EQ(client().httpHead(fileURL()).statusCode, c.status);
                } else {
                    EXPECT_EQ(client().httpGet(fileURL()).first, "{}");
                }
                EXPECT_FALSE(expected) << (head ? "HEAD" : "GET") << " succeeded";
            } catch (const HubClientError& error) {
                ASSERT_TRUE(expected) << error.what();
                EXPECT_EQ(error, *expected) << error.what();
            }
        }
    }
}

TEST_F(HubRequests, GetFollowsRedirectsButHeadOnlyRelativeOnes) {
    hub.addFile(repo, "weights.bin", "large content", {.large = true});
    // GET reaches the content store; HEAD stops at the hub's absolute redirect.
    const auto [body, response] = client().httpGet(fileURL("weights.bin"));
    EXPECT_EQ(body, "large content");
    EXPECT_TRUE(response.url.starts_with(hub.contentStoreEndpoint())) << response.url;

    const HTTPResponse head = client().httpHead(fileURL("weights.bin"));
    EXPECT_EQ(head.statusCode, 302);
    EXPECT_TRUE(head.value("location")->starts_with(hub.contentStoreEndpoint()));

    // Absolute even on the same host: not followed.
    hub.addFault({.method = "HEAD",
                  .pathContains = "config.json",
                  .status = 302,
                  .headers = {{"Location", fileURL("other")}}});
    EXPECT_EQ(client().httpHead(fileURL()).statusCode, 302);
    EXPECT_EQ(hub.requests().back().method, "HEAD");
}

TEST_F(HubRequests, RelativeRedirectOfAHeadStaysAHeadOnTheSameHost) {
    const struct {
        const char* location;
        const char* followedTarget;  // none: not followed
    } cases[] = {
        {"/owner/model/resolve/main/moved.json?y=1", "/owner/model/resolve/main/moved.json?y=1"},
        {"/owner/model/resolve/main/moved.json", "/owner/model/resolve/main/moved.json"},
        {"//127.0.0.1/elsewhere", nullptr},
        {"relative/path", nullptr},
    };
    hub.addFile(repo, "moved.json", "[]");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.location);
        hub.clearFaults();
        hub.clearRequests();
        hub.addFault(
            {.pathContains = "config.json", .status = 307, .headers = {{"Location", c.location}}});
        const HTTPResponse response = client().httpHead(fileURL() + "?c=2");
        const auto requests = hub.requests();
        if (c.followedTarget == nullptr) {
            EXPECT_EQ(response.statusCode, 307);
            EXPECT_EQ(requests.size(), 1u);
            continue;
        }
        EXPECT_EQ(response.statusCode, 200);
        EXPECT_EQ(response.url, hub.endpoint() + c.followedTarget);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].method, "HEAD");
        EXPECT_EQ(requests[1].target, c.followedTarget);
        EXPECT_EQ(requests[1].header("Authorization"), "Bearer secret");
        EXPECT_EQ(requests[1].header("Location"), hub.endpoint() + c.followedTarget);
    }
}

TEST_F(HubRequests, RedirectsWithoutALocationOrWithAnErrorStatusAreNotFollowed) {
    hub.addFault({.pathContains = "config.json", .status = 303});
    EXPECT_EQ(client().httpHead(fileURL()).statusCode, 303);
    hub.clearFaults();
    hub.addFault({.pathContains = "config.json",
                  .status = 400,
                  .headers = {{"Location", "/owner/model/resolve/main/config.json"}}});
    EXPECT_EQ(caught<HubClientError>([&] { client().httpHead(fileURL()); }),
              HubClientError::httpStatusCode(400));
    EXPECT_EQ(hub.requests().size(), 2u);
}

TEST_F(HubRequests, TransportFailuresAreDownloadErrorsForGetAndUrlErrorsForHead) {
    // The hub's port after the hub is gone: nothing listens there any more.
    std::string deadURL;
    {
        TestHub gone;
        deadURL = gone.endpoint() + "/owner/model/resolve/main/config.json";
    }
    EXPECT_EQ(caught<HubClientError>([&] { client().httpGet(deadURL); }),
              HubClientError::downloadError("Could not connect to the server."));
    const auto headError = caught<URLError>([&] { client().httpHead(deadURL); });
    ASSERT_TRUE(headError);
    EXPECT_EQ(headError->code(), URLError::Code::cannotConnectToHost);

    hub.addFault({.method = "GET", .cutAfter = 1});
    EXPECT_EQ(caught<HubClientError>([&] { client().httpGet(fileURL()); }),
              HubClientError::downloadError("The network connection was lost."));
}

TEST_F(HubRequests, AStopRequestEndsAStalledRequest) {
    hub.addFault({.stallBeforeHead = true});
    for (const bool head : {false, true}) {
        std::stop_source stop;
        std::thread stopper([&, stalls = head ? 2 : 1] {
            hub.waitUntilStalled(stalls);
            stop.request_stop();
        });
        try {
            if (head) {
                client().httpHead(fileURL(), stop.get_token());
            } else {
                client().httpGet(fileURL(), stop.get_token());
            }
            ADD_FAILURE() << "a stalled request succeeded";
        } catch (const HubClientError& error) {
            EXPECT_FALSE(head);
            EXPECT_EQ(error, HubClientError::downloadError("cancelled"));
        } catch (const URLError& error) {
            EXPECT_TRUE(head);
            EXPECT_EQ(error.code(), URLError::Code::cancelled);
        }
        stopper.join();
    }
    hub.releaseStalls();
}

TEST(HTTPResponse, LinkHeaderGivesTheTargetOfTheFirstMatchingRelation) {
    const struct {
        const char* link;
        const char* rel;
        std::optional<std::string> url;
    } cases[] = {
        {"<https://a/x>; rel=\"other\", <https://a/auth>; rel=\"xet-auth\"", "xet-auth",
         "https://a/auth"},
        {"<https://a/auth>; rel=xet-auth", "xet-auth", "https://a/auth"},
        {"<https://a/auth>; rel=xet-authority", "xet-auth", "https://a/auth"},
        {">https://a/x<; rel=\"xet-auth\", <https://a/y>; rel=\"xet-auth\"", "xet-auth",
         "https://a/y"},
        {"<https://a/x>; rel=\"other\"", "xet-auth", std::nullopt},
        {nullptr, "xet-auth", std::nullopt},
    };
    for (const auto& c : cases) {
        HTTPResponse response;
        if (c.link != nullptr) {
            response.headerFields = {{"link", c.link}};
        }
        EXPECT_EQ(response.getLinkURL(c.rel), c.url) << (c.link ? c.link : "no Link");
    }
}

}  // namespace
}  // namespace hub
