#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hub/Repo.h"

namespace hub::testing {

// One request as the test hub received it.
struct TestRequest {
    std::string listener;  // "hub" or "cdn"
    std::string method;
    std::string target;  // path and query as sent, percent-encoding kept
    std::vector<std::pair<std::string, std::string>> headers;

    // The first value of the header, names compared without regard to letter case.
    std::optional<std::string> header(std::string_view name) const;
};

struct TestFileOptions {
    // Kept in the content store: HEAD on the resolve URL answers 302 to the store with
    // X-Linked-Etag (the SHA-256 of the content), X-Linked-Size and X-Repo-Commit, and GET
    // is redirected there. Otherwise the hub answers itself, with the git blob hash as ETag.
    bool large = false;
};

// Changes the answer to requests that match `method` (empty: any) and whose target contains
// `pathContains` (empty: any), for the first `times` of them (absent: all).
struct TestFault {
    std::string method;
    std::string pathContains;
    std::optional<int> times;

    // Answer with this status and `body` instead.
    std::optional<int> status;
    std::string body;
    // Header fields set (a value) or removed (none) on the answer.
    std::vector<std::pair<std::string, std::optional<std::string>>> headers;
    // Send the whole body with 200 even when a Range was asked for.
    bool ignoreRange = false;
    // Close the connection after this many body bytes.
    std::optional<std::size_t> cutAfter;
    // Stop sending after this many body bytes (0: before the body) until releaseStalls() or
    // the hub's end.
    std::optional<std::size_t> stallAfter;
    // Stall before the answer's head is sent.
    bool stallBeforeHead = false;
    // Send the answer's body without a length and never end it: after the body (a file's from
    // the asked offset, or a listing), filler follows until the client hangs up.
    bool endlessBody = false;
};

// A model hub on loopback, for tests: a real HTTP server (and a second one standing in for the
// content store that large files are redirected to) that speaks the hub API the client uses.
//
//   GET  /api/{models|datasets|spaces}/{id}/revision/{revision}   listing: {"siblings": [...]}
//   GET  /api/whoami-v2                                          the token's account
//   HEAD /[datasets/|spaces/]{id}/resolve/{revision}/{path}      X-Repo-Commit, ETag, size;
//                                                                a large file answers 302 to the
//                                                                content store with X-Linked-*
//   GET  the same                                                the body, honouring Range (206)
//
// A repository's revisions are "main", its current commit and any names added; every change of
// its files makes a new commit. Faults change the answers to matching requests. Every request
// is recorded with its headers. Both servers listen on 127.0.0.1 on ports of their own choosing
// and stop when the hub is destroyed.
class TestHub {
public:
    using FileOptions = TestFileOptions;
    using Fault = TestFault;

    TestHub();
    ~TestHub();
    TestHub(const TestHub&) = delete;
    TestHub& operator=(const TestHub&) = delete;

    // "http://127.0.0.1:<port>"
    std::string endpoint() const;
    std::string contentStoreEndpoint() const;

    void addFile(const Repo& repo, const std::string& path, std::string content,
                 FileOptions options = {});
    // Every regular file below `folder`, under its relative path; read when it is served.
    void addFolder(const Repo& repo, const std::filesystem::path& folder, FileOptions options = {});
    void removeFile(const Repo& repo, const std::string& path);
    // Another revision name (a branch, tag or "refs/pr/1") for the repository's current state.
    void addRevision(const Repo& repo, const std::string& name);
    // Requests for `from` are answered with a relative 307 redirect to the same path of `to`.
    void moveRepo(const Repo& from, const Repo& to);

    // The current commit: 40 lower-case hexadecimal digits.
    std::string commit(const Repo& repo) const;
    // The SHA-256 of the file's content, and the git blob hash that serves as a small file's ETag.
    std::string sha256(const Repo& repo, const std::string& path) const;
    std::string gitHash(const Repo& repo, const std::string& path) const;

    // whoami-v2 answers `accountJSON` to "Bearer <token>" and 401 to anything else.
    void addAccount(const std::string& token, std::string accountJSON);
    // When set, every other request without "Bearer <token>" is answered with 401.
    void requireToken(std::optional<std::string> token);

    void addFault(Fault fault);
    void clearFaults();
    // Waits until `count` answers in all have stalled since the hub began.
    void waitUntilStalled(std::size_t count = 1) const;
    // Lets every answer that is stalled now go on.
    void releaseStalls();

    std::vector<TestRequest> requests() const;
    void clearRequests();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace hub::testing
