#include "TestHub.h"

#include <fmt/format.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace hub::testing {

namespace {

std::string hexDigest(const EVP_MD* kind, std::initializer_list<std::string_view> parts) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestInit_ex(context.get(), kind, nullptr);
    for (std::string_view part : parts) {
        EVP_DigestUpdate(context.get(), part.data(), part.size());
    }
    EVP_DigestFinal_ex(context.get(), digest, &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += fmt::format("{:02x}", digest[i]);
    }
    return hex;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("test hub cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            quoted += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> segments(std::string_view path) {
    std::vector<std::string> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        if (slash != 0) {
            parts.emplace_back(path.substr(0, slash));
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return parts;
}

std::string joined(const std::vector<std::string>& parts, std::size_t from, std::size_t to) {
    std::string text;
    for (std::size_t i = from; i < to; ++i) {
        text += (i == from ? "" : "/") + parts[i];
    }
    return text;
}

std::string repoKey(const Repo& repo) {
    return std::string(rawValue(repo.type)) + "/" + repo.id;
}

struct StoredFile {
    std::shared_ptr<const std::string> content;  // in memory, or
    std::filesystem::path source;                // read from disk when served
    std::size_t size = 0;
    std::string sha256;
    std::string gitHash;
    bool large = false;

    std::string slice(std::size_t offset, std::size_t length) const {
        if (content) {
            return content->substr(offset, length);
        }
        std::ifstream file(source, std::ios::binary);
        file.seekg(static_cast<std::streamoff>(offset));
        std::string bytes(length, '\0');
        file.read(bytes.data(), static_cast<std::streamsize>(length));
        bytes.resize(static_cast<std::size_t>(file.gcount()));
        return bytes;
    }
};

StoredFile storedFile(std::string content, std::filesystem::path source, bool large) {
    StoredFile file;
    file.size = content.size();
    file.sha256 = hexDigest(EVP_sha256(), {content});
    file.gitHash = hexDigest(
        EVP_sha1(), {fmt::format("blob {}", content.size()), std::string_view("\0", 1), content});
    file.large = large;
    if (source.empty()) {
        file.content = std::make_shared<const std::string>(std::move(content));
    } else {
        file.source = std::move(source);
    }
    return file;
}

struct StoredRepo {
    std::map<std::string, StoredFile> files;
    std::set<std::string> revisions{"main"};
    std::string commit;
};

// A request's place in the API.
struct Route {
    enum class Kind { listing, whoami, resolve, contentStore, unknown } kind = Kind::unknown;
    Repo repo{""};
    std::string revision;
    std::string path;
    std::string rawRepoId;  // as it stands in the target
};

Route route(const std::string& target, bool contentStore) {
    const std::string path = target.substr(0, target.find('?'));
    const std::vector<std::string> parts = segments(path);
    Route found;
    if (contentStore) {
        // /cdn/{type}/{id}/resolve-cache/{commit}/{path}
        const auto marker = std::find(parts.begin(), parts.end(), "resolve-cache");
        if (parts.size() >= 2 && parts[0] == "cdn" && marker != parts.end() &&
            marker + 2 < parts.end()) {
            const auto at = static_cast<std::size_t>(marker - parts.begin());
            found.kind = Route::Kind::contentStore;
            found.repo = Repo(decoded(joined(parts, 2, at)),
                              repoTypeFromRawValue(parts[1]).value_or(RepoType::models));
            found.revision = decoded(parts[at + 1]);
            found.path = decoded(joined(parts, at + 2, parts.size()));
        }
        return found;
    }
    if (parts.size() == 2 && parts[0] == "api" && parts[1] == "whoami-v2") {
        found.kind = Route::Kind::whoami;
        return found;
    }
    if (parts.size() >= 5 && parts[0] == "api" && parts[parts.size() - 2] == "revision") {
        if (const auto type = repoTypeFromRawValue(parts[1])) {
            found.kind = Route::Kind::listing;
            found.rawRepoId = joined(parts, 2, parts.size() - 2);
            found.repo = Repo(decoded(found.rawRepoId), *type);
            found.revision = decoded(parts.back());
        }
        return found;
    }
    const auto marker = std::find(parts.begin(), parts.end(), "resolve");
    if (marker == parts.end() || parts.end() - marker < 3) {  // revision and path follow
        return found;
    }
    std::size_t idStart = 0;
    RepoType type = RepoType::models;
    if (parts[0] == "datasets" || parts[0] == "spaces") {
        type = *repoTypeFromRawValue(parts[0]);
        idStart = 1;
    }
    const auto at = static_cast<std::size_t>(marker - parts.begin());
    if (at <= idStart) {
        return found;
    }
    found.kind = Route::Kind::resolve;
    found.rawRepoId = joined(parts, idStart, at);
    found.repo = Repo(decoded(found.rawRepoId), type);
    found.revision = decoded(parts[at + 1]);
    found.path = decoded(joined(parts, at + 2, parts.size()));
    return found;
}

std::optional<std::pair<std::size_t, std::size_t>> parseRange(const std::string& header,
                                                              std::size_t size, bool& invalid) {
    invalid = false;
    constexpr std::string_view prefix = "bytes=";
    if (!header.starts_with(prefix) || header.find(',') != std::string::npos) {
        return std::nullopt;
    }
    const std::string byteRange = header.substr(prefix.size());
    const std::size_t dash = byteRange.find('-');
    if (dash == std::string::npos) {
        return std::nullopt;
    }
    const std::string first = byteRange.substr(0, dash);
    const std::string last = byteRange.substr(dash + 1);
    std::size_t start = 0;
    std::size_t end = size == 0 ? 0 : size - 1;
    if (first.empty()) {
        const std::size_t suffix = std::stoull(last);
        start = suffix >= size ? 0 : size - suffix;
    } else {
        start = std::stoull(first);
        if (!last.empty()) {
            end = std::min<std::size_t>(std::stoull(last), end);
        }
    }
    if (start >= size || start > end) {
        invalid = true;
        return std::nullopt;
    }
    return std::pair{start, end};
}

}  // namespace

std::optional<std::string> TestRequest::header(std::string_view name) const {
    for (const auto& [field, value] : headers) {
        if (field.size() == name.size() &&
            strncasecmp(field.data(), name.data(), name.size()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

struct TestHub::State {
    mutable std::mutex mutex;
    std::condition_variable stallEnded;
    std::condition_variable stallBegan;
    std::uint64_t releases = 0;
    std::size_t stalls = 0;
    bool stopping = false;
    // Set when a server's loop has returned.
    std::condition_variable loopEnded;
    bool hubEnded = false;
    bool contentStoreEnded = false;

    std::map<std::string, StoredRepo> repos;
    std::map<std::string, Repo> moved;
    std::map<std::string, std::string> accounts;
    std::optional<std::string> requiredToken;
    std::vector<Fault> faults;
    std::vector<TestRequest> requests;

    httplib::Server hub;
    httplib::Server contentStore;
    int hubPort = 0;
    int contentStorePort = 0;
    std::thread hubThread;
    std::thread contentStoreThread;

    StoredRepo& repo(const Repo& which) {
        StoredRepo& stored = repos[repoKey(which)];
        if (stored.commit.empty()) {
            recommit(which, stored);
        }
        return stored;
    }

    void recommit(const Repo& which, StoredRepo& stored) {
        std::string listing = repoKey(which) + "\n";
        for (const auto& [path, file] : stored.files) {
            listing += path + '\0' + file.sha256 + "\n";
        }
        stored.revisions.erase(stored.commit);
        stored.commit = hexDigest(EVP_sha1(), {listing});
        stored.revisions.insert(stored.commit);
    }

    // Waits until the stalls are released or the hub stops.
    void stall() {
        std::unique_lock lock(mutex);
        const std::uint64_t seen = releases;
        ++stalls;
        stallBegan.notify_all();
        stallEnded.wait(lock, [&] { return stopping || releases != seen; });
    }

    std::optional<Fault> takeFault(const httplib::Request& request) {
        std::lock_guard lock(mutex);
        for (Fault& fault : faults) {
            if ((fault.method.empty() || fault.method == request.method) &&
                request.target.find(fault.pathContains) != std::string::npos &&
                (!fault.times || *fault.times > 0)) {
                if (fault.times) {
                    --*fault.times;
                }
                return fault;
            }
        }
        return std::nullopt;
    }

    void record(const char* listener, const httplib::Request& request) {
        TestRequest seen{listener, request.method, request.target, {}};
        for (const auto& [name, value] : request.headers) {
            if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" &&
                name != "LOCAL_PORT") {
                seen.headers.emplace_back(name, value);
            }
        }
        std::lock_guard lock(mutex);
        requests.push_back(std::move(seen));
    }

    void handle(const char* listener, const httplib::Request& request,
                httplib::Response& response) {
        // The server would cut the body to the asked range on its own; the hub decides itself,
        // so that a fault can ignore the range. The request object is the server's own
        // (non-const) one, handed over as const.
        const_cast<httplib::Request&>(request).ranges.clear();
        record(listener, request);
        const std::optional<Fault> fault = takeFault(request);
        if (fault && fault->stallBeforeHead) {
            stall();
        }
        if (fault && fault->status) {
            response.status = *fault->status;
            if (!fault->body.empty()) {
                response.set_content(fault->body, "application/json");
            }
        } else {
            answer(std::string_view(listener) == "cdn", request, response, fault);
        }
        if (fault && fault->endlessBody && !response.body.empty()) {
            endless(response, std::move(response.body), ' ');
        }
        if (fault) {
            for (const auto& [name, value] : fault->headers) {
                response.headers.erase(name);
                if (value) {
                    response.set_header(name, *value);
                }
            }
        }
    }

    void answer(bool fromContentStore, const httplib::Request& request, httplib::Response& response,
                const std::optional<Fault>& fault) {
        const Route place = route(request.target, fromContentStore);
        std::unique_lock lock(mutex);
        if (place.kind == Route::Kind::unknown ||
            (place.kind == Route::Kind::whoami && request.method != "GET") ||
            (place.kind == Route::Kind::listing && request.method != "GET")) {
            response.status = 404;
            return;
        }
        const std::string authorization = request.get_header_value("Authorization");
        if (place.kind == Route::Kind::whoami) {
            const auto account = authorization.starts_with("Bearer ")
                                     ? accounts.find(authorization.substr(7))
                                     : accounts.end();
            if (account == accounts.end()) {
                response.status = 401;
                return;
            }
            response.status = 200;
            response.set_content(account->second, "application/json");
            return;
        }
        if (!fromContentStore && requiredToken && authorization != "Bearer " + *requiredToken) {
            response.status = 401;
            response.set_header("X-Error-Code", "RepoNotFound");
            return;
        }
        if (const auto renamed = moved.find(repoKey(place.repo)); renamed != moved.end()) {
            std::string target = request.target;
            target.replace(target.find(place.rawRepoId), place.rawRepoId.size(),
                           renamed->second.id);
            response.status = 307;
            response.set_header("Location", target);
            return;
        }
        const auto stored = repos.find(repoKey(place.repo));
        if (stored == repos.end()) {
            response.status = 404;
            response.set_header("X-Error-Code", "RepoNotFound");
            return;
        }
        if (!fromContentStore && !stored->second.revisions.contains(place.revision)) {
            response.status = 404;
            response.set_header("X-Error-Code", "RevisionNotFound");
            return;
        }
        if (place.kind == Route::Kind::listing) {
            std::string siblings;
            for (const auto& [path, file] : stored->second.files) {
                siblings += fmt::format("{}{{\"rfilename\":{}}}", siblings.empty() ? "" : ",",
                                        jsonString(path));
            }
            response.status = 200;
            response.set_content(
                fmt::format(R"({{"id":{},"sha":"{}","siblings":[{}]}})", jsonString(place.repo.id),
                            stored->second.commit, siblings),
                "application/json");
            return;
        }
        const auto file = stored->second.files.find(place.path);
        if (file == stored->second.files.end()) {
            response.status = 404;
            response.set_header("X-Error-Code", "EntryNotFound");
            return;
        }
        const StoredFile served = file->second;
        const std::string commit = stored->second.commit;
        lock.unlock();

        if (fromContentStore) {
            response.set_header("ETag", "\"" + served.sha256 + "\"");
            body(request, response, served, fault);
            return;
        }
        response.set_header("X-Repo-Commit", commit);
        if (served.large) {
            response.status = 302;
            response.set_header("ETag", "\"" + served.gitHash + "\"");
            response.set_header("X-Linked-Etag", "\"" + served.sha256 + "\"");
            response.set_header("X-Linked-Size", std::to_string(served.size));
            response.set_header(
                "Location", fmt::format("http://127.0.0.1:{}/cdn/{}/resolve-cache/{}/{}?expires=1",
                                        contentStorePort, repoKey(place.repo), commit, place.path));
            return;
        }
        response.set_header("ETag", "\"" + served.gitHash + "\"");
        body(request, response, served, fault);
    }

    // `first`, then `filler` for ever, chunked: the client sees no length to stop at.
    static void endless(httplib::Response& response, std::string first, char filler) {
        const std::string type = response.get_header_value("Content-Type");
        response.body.clear();
        response.set_chunked_content_provider(
            type.empty() ? "application/octet-stream" : type,
            [first = std::move(first), filler = std::string(64 * 1024, filler), sent = false](
                std::size_t, httplib::DataSink& sink) mutable {
                if (!sent) {
                    sent = true;
                    return sink.write(first.data(), first.size());
                }
                return sink.write(filler.data(), filler.size());
            });
    }

    void body(const httplib::Request& request, httplib::Response& response, const StoredFile& file,
              const std::optional<Fault>& fault) {
        response.set_header("Accept-Ranges", "bytes");
        std::size_t start = 0;
        std::size_t length = file.size;
        response.status = 200;
        if (request.has_header("Range") && !(fault && fault->ignoreRange)) {
            bool invalid = false;
            const auto range = parseRange(request.get_header_value("Range"), file.size, invalid);
            if (invalid) {
                response.status = 416;
                response.set_header("Content-Range", fmt::format("bytes */{}", file.size));
                return;
            }
            if (range) {
                start = range->first;
                length = range->second - range->first + 1;
                response.status = 206;
                response.set_header("Content-Range", fmt::format("bytes {}-{}/{}", range->first,
                                                                 range->second, file.size));
            }
        }
        if (length == 0) {
            response.set_content("", "application/octet-stream");
            return;
        }
        if (fault && fault->endlessBody) {
            endless(response, file.slice(start, length), 'x');
            return;
        }
        const std::optional<std::size_t> cutAfter = fault ? fault->cutAfter : std::nullopt;
        const std::optional<std::size_t> stallAfter = fault ? fault->stallAfter : std::nullopt;
        response.set_content_provider(
            length, "application/octet-stream",
            [this, file, start, cutAfter, stallAfter, stalled = false](
                std::size_t offset, std::size_t wanted, httplib::DataSink& sink) mutable {
                std::size_t piece = std::min<std::size_t>(wanted, 64 * 1024);
                if (cutAfter) {
                    if (offset >= *cutAfter) {
                        return false;  // drops the connection mid-body
                    }
                    piece = std::min(piece, *cutAfter - offset);
                }
                if (stallAfter && !stalled) {
                    if (offset >= *stallAfter) {
                        stalled = true;
                        stall();
                    } else {
                        piece = std::min(piece, *stallAfter - offset);
                    }
                }
                const std::string bytes = file.slice(start + offset, piece);
                return !bytes.empty() && sink.write(bytes.data(), bytes.size());
            });
    }
};

TestHub::TestHub() : state_(std::make_unique<State>()) {
    // Whatever proxy the environment names, the tests talk to loopback only.
    setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);
    State& state = *state_;
    const auto setUp = [&state](httplib::Server& server, const char* listener) {
        server.set_keep_alive_max_count(1);
        server.set_pre_routing_handler(
            [&state, listener](const httplib::Request& request, httplib::Response& response) {
                state.handle(listener, request, response);
                return httplib::Server::HandlerResponse::Handled;
            });
        const int port = server.bind_to_any_port("127.0.0.1");
        if (port <= 0) {
            throw std::runtime_error("test hub cannot listen on loopback");
        }
        return port;
    };
    state.hubPort = setUp(state.hub, "hub");
    state.contentStorePort = setUp(state.contentStore, "cdn");
    // The sockets listen already: connections made before a loop runs wait in the backlog.
    const auto serve = [&state](httplib::Server& server, bool State::*ended) {
        server.listen_after_bind();
        std::lock_guard lock(state.mutex);
        state.*ended = true;
        state.loopEnded.notify_all();
    };
    state.hubThread = std::thread(serve, std::ref(state.hub), &State::hubEnded);
    state.contentStoreThread =
        std::thread(serve, std::ref(state.contentStore), &State::contentStoreEnded);
}

TestHub::~TestHub() {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    state.stopping = true;
    state.stallEnded.notify_all();
    // A server acts on stop() only while its loop runs, and a loop that starts after the call
    // would wait for a connection for ever (a hub destroyed right after it was made): ask again
    // until both loops have returned.
    while (!state.hubEnded || !state.contentStoreEnded) {
        lock.unlock();
        state.hub.stop();
        state.contentStore.stop();
        lock.lock();
        state.loopEnded.wait_for(lock, std::chrono::milliseconds(5),
                                 [&] { return state.hubEnded && state.contentStoreEnded; });
    }
    lock.unlock();
    state.hubThread.join();
    state.contentStoreThread.join();
}

std::string TestHub::endpoint() const {
    return fmt::format("http://127.0.0.1:{}", state_->hubPort);
}

std::string TestHub::contentStoreEndpoint() const {
    return fmt::format("http://127.0.0.1:{}", state_->contentStorePort);
}

void TestHub::addFile(const Repo& repo, const std::string& path, std::string content,
                      FileOptions options) {
    StoredFile file = storedFile(std::move(content), {}, options.large);
    std::lock_guard lock(state_->mutex);
    StoredRepo& stored = state_->repo(repo);
    stored.files.insert_or_assign(path, std::move(file));
    state_->recommit(repo, stored);
}

void TestHub::addFolder(const Repo& repo, const std::filesystem::path& folder,
                        FileOptions options) {
    std::vector<std::pair<std::string, StoredFile>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.emplace_back(entry.path().lexically_relative(folder).generic_string(),
                               storedFile(readFile(entry.path()), entry.path(), options.large));
        }
    }
    std::lock_guard lock(state_->mutex);
    StoredRepo& stored = state_->repo(repo);
    for (auto& [path, file] : files) {
        stored.files.insert_or_assign(path, std::move(file));
    }
    state_->recommit(repo, stored);
}

void TestHub::removeFile(const Repo& repo, const std::string& path) {
    std::lock_guard lock(state_->mutex);
    StoredRepo& stored = state_->repo(repo);
    stored.files.erase(path);
    state_->recommit(repo, stored);
}

void TestHub::addRevision(const Repo& repo, const std::string& name) {
    std::lock_guard lock(state_->mutex);
    state_->repo(repo).revisions.insert(name);
}

void TestHub::moveRepo(const Repo& from, const Repo& to) {
    std::lock_guard lock(state_->mutex);
    state_->moved.insert_or_assign(repoKey(from), to);
}

std::string TestHub::commit(const Repo& repo) const {
    std::lock_guard lock(state_->mutex);
    return state_->repo(repo).commit;
}

std::string TestHub::sha256(const Repo& repo, const std::string& path) const {
    std::lock_guard lock(state_->mutex);
    return state_->repo(repo).files.at(path).sha256;
}

std::string TestHub::gitHash(const Repo& repo, const std::string& path) const {
    std::lock_guard lock(state_->mutex);
    return state_->repo(repo).files.at(path).gitHash;
}

void TestHub::addAccount(const std::string& token, std::string accountJSON) {
    std::lock_guard lock(state_->mutex);
    state_->accounts.insert_or_assign(token, std::move(accountJSON));
}

void TestHub::requireToken(std::optional<std::string> token) {
    std::lock_guard lock(state_->mutex);
    state_->requiredToken = std::move(token);
}

void TestHub::addFault(Fault fault) {
    std::lock_guard lock(state_->mutex);
    state_->faults.push_back(std::move(fault));
}

void TestHub::clearFaults() {
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
}

void TestHub::waitUntilStalled(std::size_t count) const {
    std::unique_lock lock(state_->mutex);
    state_->stallBegan.wait(lock, [&] { return state_->stalls >= count; });
}

void TestHub::releaseStalls() {
    {
        std::lock_guard lock(state_->mutex);
        ++state_->releases;
    }
    state_->stallEnded.notify_all();
}

std::vector<TestRequest> TestHub::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

void TestHub::clearRequests() {
    std::lock_guard lock(state_->mutex);
    state_->requests.clear();
}

}  // namespace hub::testing
