// The capture layer over the PulseAudio client library (PipeWire serves the same protocol through
// its pulse server). One threaded main loop per connection; every call into the library happens
// with the loop locked or on the loop's own thread, and every wait for the server has a deadline.

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "CaptureFragments.h"
#include "rararozuvu/audio/AudioCapture.h"
#include "vevidocore/Logging.h"
#include "vevidocore/SharedLibrary.h"

namespace rararozuvu {

namespace {

// The functions used, as in the headers less their "pa_" prefix.
#define QUILLORA_PULSE_FUNCTIONS(X)   \
    X(threaded_mainloop_new)          \
    X(threaded_mainloop_free)         \
    X(threaded_mainloop_start)        \
    X(threaded_mainloop_stop)         \
    X(threaded_mainloop_lock)         \
    X(threaded_mainloop_unlock)       \
    X(threaded_mainloop_wait)         \
    X(threaded_mainloop_signal)       \
    X(threaded_mainloop_in_thread)    \
    X(threaded_mainloop_get_api)      \
    X(context_new)                    \
    X(context_unref)                  \
    X(context_connect)                \
    X(context_disconnect)             \
    X(context_get_state)              \
    X(context_errno)                  \
    X(context_set_state_callback)     \
    X(context_set_subscribe_callback) \
    X(context_subscribe)              \
    X(context_rttime_new)             \
    X(context_get_server_info)        \
    X(context_get_source_info_list)   \
    X(operation_unref)                \
    X(operation_cancel)               \
    X(stream_new)                     \
    X(stream_unref)                   \
    X(stream_set_state_callback)      \
    X(stream_set_read_callback)       \
    X(stream_connect_record)          \
    X(stream_disconnect)              \
    X(stream_get_state)               \
    X(stream_get_sample_spec)         \
    X(stream_peek)                    \
    X(stream_drop)                    \
    X(stream_cork)                    \
    X(strerror)                       \
    X(rtclock_now)                    \
    X(proplist_gets)

struct PulseApi {
#define QUILLORA_PULSE_POINTER(name) decltype(&::pa_##name) name = nullptr;
    QUILLORA_PULSE_FUNCTIONS(QUILLORA_PULSE_POINTER)
#undef QUILLORA_PULSE_POINTER
};

// Written once by loadPulse(), read only after it returned: every connection starts there.
PulseApi pulse;
vevidocore::LoadOnce pulseLoading;

// Opens the client library on the first connection, so that a process that never records does
// not load it and the many libraries it pulls in (X11, D-Bus, codecs) at start.
void loadPulse() {
    pulseLoading([] {
        const vevidocore::SharedLibrary library("libpulse.so.0", "PulseAudio");
#define QUILLORA_PULSE_RESOLVE(name) library.resolve("pa_" #name, pulse.name);
        QUILLORA_PULSE_FUNCTIONS(QUILLORA_PULSE_RESOLVE)
#undef QUILLORA_PULSE_RESOLVE
    });
}

struct MainloopFree {
    void operator()(pa_threaded_mainloop* loop) const { pulse.threaded_mainloop_free(loop); }
};
struct ContextUnref {
    void operator()(pa_context* context) const { pulse.context_unref(context); }
};
struct StreamUnref {
    void operator()(pa_stream* stream) const { pulse.stream_unref(stream); }
};
struct OperationUnref {
    void operator()(pa_operation* operation) const { pulse.operation_unref(operation); }
};
using Operation = std::unique_ptr<pa_operation, OperationUnref>;

// Holds the loop's lock, unless the caller already runs on the loop's thread (which holds it).
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop)
        : loop_(pulse.threaded_mainloop_in_thread(loop) ? nullptr : loop) {
        if (loop_) {
            pulse.threaded_mainloop_lock(loop_);
        }
    }
    ~LoopLock() {
        if (loop_) {
            pulse.threaded_mainloop_unlock(loop_);
        }
    }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

std::string serverName() {
    const char* server = std::getenv("PULSE_SERVER");
    return server && *server ? std::string(" at ") + server
                             : std::string(" (PulseAudio or PipeWire)");
}

std::string sourceLabel(const std::optional<std::string>& sourceName) {
    return sourceName ? "\"" + *sourceName + "\"" : std::string("the default source");
}

std::string property(const pa_proplist* properties, const char* key) {
    const char* value = properties ? pulse.proplist_gets(properties, key) : nullptr;
    return value ? value : "";
}

class PulseConnection final : public AudioCapture,
                              public std::enable_shared_from_this<PulseConnection> {
public:
    PulseConnection() = default;
    ~PulseConnection() override;
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    void open(const std::string& clientName);

    bool isConnected() const override { return connected_.load(); }
    std::vector<CaptureSource> inputSources() override;
    std::optional<std::string> defaultSourceName() override;
    std::uint64_t deviceChanges() const override { return deviceChanges_.load(); }
    std::unique_ptr<CaptureStream> record(const std::optional<std::string>& sourceName,
                                          std::uint32_t fragmentFrames, SampleCallback onSamples,
                                          bool paused) override;

    pa_threaded_mainloop* loop() const { return loop_.get(); }
    pa_context* context() const { return context_.get(); }

    // With the loop locked (and not on its thread): waits until `done` holds, the connection
    // breaks or the answer timeout passes. Returns whether `done` holds.
    bool waitLocked(const std::function<bool()>& done);
    // The error for a request the server left unanswered or the connection broke under.
    AudioCaptureError noAnswer(const std::string& what) const;

private:
    static void onContextState(pa_context* context, void* data);
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                        void* data);
    void refreshLocked();

    std::unique_ptr<pa_threaded_mainloop, MainloopFree> loop_;
    std::unique_ptr<pa_context, ContextUnref> context_;
    bool started_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> deviceChanges_{0};

    // Guarded by the loop's lock.
    std::uint64_t events_ = 0;
    bool listValid_ = false;
    std::vector<CaptureSource> sources_;
    std::optional<std::string> defaultSource_;
};

// One record stream. The loop's callbacks reach it through a raw pointer but keep it alive while
// they run, so a stream ended from inside its own sample callback is not freed under it (the
// connection must then have another owner: it cannot be closed from its own thread).
class StreamCore : public std::enable_shared_from_this<StreamCore> {
public:
    StreamCore(std::shared_ptr<PulseConnection> connection, std::uint32_t fragmentFrames,
               AudioCapture::SampleCallback onSamples)
        : connection_(std::move(connection)),
          fragmentFrames_(fragmentFrames),
          onSamples_(std::move(onSamples)) {}
    ~StreamCore() {
        // Released with the loop locked or on its thread (see PulseStream).
        stream_.reset();
    }

    void connect(const std::optional<std::string>& sourceName, bool paused);
    // With the loop locked: hands over what has arrived, then the unfinished fragment, and
    // disconnects. Nothing is delivered afterwards. On the loop's own thread (the stream ended
    // from its callback) nothing more is handed over.
    void closeLocked();
    void setPaused(bool paused);
    const std::shared_ptr<PulseConnection>& connection() const { return connection_; }

private:
    static void onState(pa_stream* stream, void* data);
    static void onRead(pa_stream* stream, std::size_t bytes, void* data);
    void readAvailable();
    bool ensureFragments();
    void deliver(std::span<const float> samples);

    std::shared_ptr<PulseConnection> connection_;
    std::unique_ptr<pa_stream, StreamUnref> stream_;
    std::uint32_t fragmentFrames_;
    AudioCapture::SampleCallback onSamples_;
    std::optional<platform::CaptureFragments> fragments_;
    bool closed_ = false;
};

class PulseStream final : public CaptureStream {
public:
    explicit PulseStream(std::shared_ptr<StreamCore> core) : core_(std::move(core)) {}
    ~PulseStream() override {
        // The connection outlives this scope: the core keeps it, and so does this copy.
        const std::shared_ptr<PulseConnection> connection = core_->connection();
        LoopLock lock(connection->loop());
        core_->closeLocked();
        core_.reset();
    }
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    void setPaused(bool paused) override { core_->setPaused(paused); }

private:
    std::shared_ptr<StreamCore> core_;
};

// --- Connection ------------------------------------------------------------------------------

PulseConnection::~PulseConnection() {
    if (context_ && started_) {
        LoopLock lock(loop_.get());
        pulse.context_set_subscribe_callback(context_.get(), nullptr, nullptr);
        pulse.context_disconnect(context_.get());
    } else if (context_) {
        pulse.context_disconnect(context_.get());
    }
    if (started_) {
        pulse.threaded_mainloop_stop(loop_.get());
    }
    context_.reset();
    loop_.reset();
}

void PulseConnection::open(const std::string& clientName) {
    loop_.reset(pulse.threaded_mainloop_new());
    if (!loop_) {
        throw AudioCaptureError("Cannot create the sound server connection's main loop");
    }
    context_.reset(
        pulse.context_new(pulse.threaded_mainloop_get_api(loop_.get()), clientName.c_str()));
    if (!context_) {
        throw AudioCaptureError("Cannot create a sound server context");
    }
    pulse.context_set_state_callback(context_.get(), &PulseConnection::onContextState, this);
    pulse.context_set_subscribe_callback(context_.get(), &PulseConnection::onEvent, this);
    // Never start a server of our own: no server means no capture, said at once.
    if (pulse.context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        throw AudioCaptureError("Cannot connect to the sound server" + serverName() + ": " +
                                pulse.strerror(pulse.context_errno(context_.get())));
    }
    if (pulse.threaded_mainloop_start(loop_.get()) < 0) {
        throw AudioCaptureError("Cannot start the sound server connection's thread");
    }
    started_ = true;

    LoopLock lock(loop_.get());
    const bool ready =
        waitLocked([&] { return pulse.context_get_state(context_.get()) == PA_CONTEXT_READY; });
    if (!ready) {
        if (PA_CONTEXT_IS_GOOD(pulse.context_get_state(context_.get()))) {
            throw AudioCaptureError("The sound server" + serverName() +
                                    " did not answer within 2 s");
        }
        throw AudioCaptureError("Cannot connect to the sound server" + serverName() + ": " +
                                pulse.strerror(pulse.context_errno(context_.get())));
    }
    connected_ = true;
    Operation subscription(
        pulse.context_subscribe(context_.get(),
                                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                                    PA_SUBSCRIPTION_MASK_SERVER),
                                nullptr, nullptr));
}

bool PulseConnection::waitLocked(const std::function<bool()>& done) {
    // The loop's own thread cannot wait for the loop.
    if (done() || pulse.threaded_mainloop_in_thread(loop_.get())) {
        return done();
    }
    struct Alarm {
        pa_threaded_mainloop* loop;
        bool expired = false;
    } alarm{loop_.get()};
    pa_time_event* event = pulse.context_rttime_new(
        context_.get(),
        pulse.rtclock_now() + static_cast<pa_usec_t>(answerTimeout.count()) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
            auto* alarm = static_cast<Alarm*>(data);
            alarm->expired = true;
            pulse.threaded_mainloop_signal(alarm->loop, 0);
        },
        &alarm);
    while (!done() && !alarm.expired &&
           PA_CONTEXT_IS_GOOD(pulse.context_get_state(context_.get()))) {
        pulse.threaded_mainloop_wait(loop_.get());
    }
    if (event) {
        pulse.threaded_mainloop_get_api(loop_.get())->time_free(event);
    }
    return done();
}

AudioCaptureError PulseConnection::noAnswer(const std::string& what) const {
    if (!PA_CONTEXT_IS_GOOD(pulse.context_get_state(context_.get()))) {
        return AudioCaptureError("The connection to the sound server" + serverName() +
                                 " was lost while " + what);
    }
    return AudioCaptureError("The sound server" + serverName() +
                             " did not answer within 2 s while " + what);
}

void PulseConnection::onContextState(pa_context* context, void* data) {
    auto* self = static_cast<PulseConnection*>(data);
    const pa_context_state_t state = pulse.context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state) && self->connected_.exchange(false)) {
        // The devices we knew are gone with the server; whoever bound one must look again.
        self->listValid_ = false;
        ++self->deviceChanges_;
    }
    pulse.threaded_mainloop_signal(self->loop_.get(), 0);
}

void PulseConnection::onEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t,
                              void* data) {
    auto* self = static_cast<PulseConnection*>(data);
    ++self->events_;
    self->listValid_ = false;
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    // A source's state or volume changes at every stream start: only arrivals, departures and
    // the server's defaults count as a change of devices.
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER || kind != PA_SUBSCRIPTION_EVENT_CHANGE) {
        ++self->deviceChanges_;
    }
}

void PulseConnection::refreshLocked() {
    if (listValid_) {
        return;
    }
    if (!connected_) {
        throw noAnswer("listing its sources");
    }
    struct Query {
        pa_threaded_mainloop* loop;
        std::vector<CaptureSource> sources;
        std::optional<std::string> defaultSource;
        bool sourcesDone = false;
        bool serverDone = false;
    } query{loop_.get()};
    const std::uint64_t before = events_;

    Operation server(pulse.context_get_server_info(
        context_.get(),
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* query = static_cast<Query*>(data);
            if (info && info->default_source_name && *info->default_source_name) {
                query->defaultSource = info->default_source_name;
            }
            query->serverDone = true;
            pulse.threaded_mainloop_signal(query->loop, 0);
        },
        &query));
    Operation list(pulse.context_get_source_info_list(
        context_.get(),
        [](pa_context*, const pa_source_info* info, int eol, void* data) {
            auto* query = static_cast<Query*>(data);
            if (eol != 0 || !info) {
                query->sourcesDone = true;
                pulse.threaded_mainloop_signal(query->loop, 0);
                return;
            }
            if (info->monitor_of_sink != PA_INVALID_INDEX) {
                return;
            }
            CaptureSource source;
            source.index = info->index;
            source.name = info->name ? info->name : "";
            source.description = info->description ? info->description : "";
            source.bus = property(info->proplist, PA_PROP_DEVICE_BUS);
            source.formFactor = property(info->proplist, PA_PROP_DEVICE_FORM_FACTOR);
            source.sampleRate = info->sample_spec.rate;
            source.channelCount = info->sample_spec.channels;
            query->sources.push_back(std::move(source));
        },
        &query));
    const bool answered =
        server && list && waitLocked([&] { return query.sourcesDone && query.serverDone; });
    if (!answered) {
        // The callbacks point into this frame: they must never run once it is gone.
        if (server) {
            pulse.operation_cancel(server.get());
        }
        if (list) {
            pulse.operation_cancel(list.get());
        }
        throw noAnswer("listing its sources");
    }
    sources_ = std::move(query.sources);
    defaultSource_ = std::move(query.defaultSource);
    // A report that came in meanwhile may describe a change the answers missed.
    listValid_ = events_ == before;
}

std::vector<CaptureSource> PulseConnection::inputSources() {
    LoopLock lock(loop_.get());
    refreshLocked();
    return sources_;
}

std::optional<std::string> PulseConnection::defaultSourceName() {
    LoopLock lock(loop_.get());
    refreshLocked();
    return defaultSource_;
}

std::unique_ptr<CaptureStream> PulseConnection::record(const std::optional<std::string>& sourceName,
                                                       std::uint32_t fragmentFrames,
                                                       SampleCallback onSamples, bool paused) {
    if (fragmentFrames == 0) {
        throw AudioCaptureError("A capture fragment needs at least one frame");
    }
    auto core =
        std::make_shared<StreamCore>(shared_from_this(), fragmentFrames, std::move(onSamples));
    core->connect(sourceName, paused);
    return std::make_unique<PulseStream>(std::move(core));
}

// --- Streams ---------------------------------------------------------------------------------

void StreamCore::connect(const std::optional<std::string>& sourceName, bool paused) {
    PulseConnection& connection = *connection_;
    LoopLock lock(connection.loop());
    const std::string what = "starting to record from " + sourceLabel(sourceName);
    if (!connection.isConnected()) {
        throw connection.noAnswer(what);
    }
    const pa_sample_spec wanted{PA_SAMPLE_FLOAT32LE,
                                static_cast<std::uint32_t>(AudioCapture::sampleRate), 1};
    stream_.reset(pulse.stream_new(connection.context(), "Microphone", &wanted, nullptr));
    if (!stream_) {
        throw AudioCaptureError("Cannot record from " + sourceLabel(sourceName) + ": " +
                                pulse.strerror(pulse.context_errno(connection.context())));
    }
    pulse.stream_set_state_callback(stream_.get(), &StreamCore::onState, this);
    pulse.stream_set_read_callback(stream_.get(), &StreamCore::onRead, this);

    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);  // every field: the server's choice
    attributes.fragsize = fragmentFrames_ * static_cast<std::uint32_t>(sizeof(float));
    // The fragment size is then the latency the source is run at, so each one arrives as soon
    // as it is complete.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                (paused ? PA_STREAM_START_CORKED : 0));
    const bool ready =
        pulse.stream_connect_record(stream_.get(), sourceName ? sourceName->c_str() : nullptr,
                                    &attributes, flags) == 0 &&
        connection.waitLocked([&] {
            const pa_stream_state_t state = pulse.stream_get_state(stream_.get());
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        }) &&
        pulse.stream_get_state(stream_.get()) == PA_STREAM_READY;
    if (!ready) {
        const bool refused =
            !PA_STREAM_IS_GOOD(pulse.stream_get_state(stream_.get())) && connection.isConnected();
        const std::string reason = pulse.strerror(pulse.context_errno(connection.context()));
        closed_ = true;
        pulse.stream_set_state_callback(stream_.get(), nullptr, nullptr);
        pulse.stream_set_read_callback(stream_.get(), nullptr, nullptr);
        pulse.stream_disconnect(stream_.get());
        stream_.reset();
        if (refused) {
            throw AudioCaptureError("Cannot record from " + sourceLabel(sourceName) + ": " +
                                    reason);
        }
        throw connection.noAnswer(what);
    }
    if (!ensureFragments()) {
        closed_ = true;
        pulse.stream_set_state_callback(stream_.get(), nullptr, nullptr);
        pulse.stream_set_read_callback(stream_.get(), nullptr, nullptr);
        pulse.stream_disconnect(stream_.get());
        stream_.reset();
        throw AudioCaptureError("The sound server offers no float samples from " +
                                sourceLabel(sourceName));
    }
}

bool StreamCore::ensureFragments() {
    if (fragments_) {
        return true;
    }
    // What the server settled on; ours unless it refused to convert.
    const pa_sample_spec* settled = pulse.stream_get_sample_spec(stream_.get());
    if (!settled || settled->format != PA_SAMPLE_FLOAT32LE || settled->channels == 0 ||
        settled->rate == 0) {
        return false;
    }
    fragments_.emplace(AudioFormat{double(settled->rate), settled->channels}, fragmentFrames_);
    return true;
}

void StreamCore::onState(pa_stream*, void* data) {
    auto* core = static_cast<StreamCore*>(data);
    pulse.threaded_mainloop_signal(core->connection_->loop(), 0);
}

void StreamCore::onRead(pa_stream*, std::size_t, void* data) {
    auto* core = static_cast<StreamCore*>(data);
    const std::shared_ptr<StreamCore> keep = core->shared_from_this();
    core->readAvailable();
}

void StreamCore::readAvailable() {
    const auto emit = [this](std::span<const float> samples) { deliver(samples); };
    while (!closed_) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pulse.stream_peek(stream_.get(), &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        if (ensureFragments()) {
            const std::size_t frameBytes = sizeof(float) * fragments_->inputFormat().channelCount;
            const std::size_t count = bytes / frameBytes * (frameBytes / sizeof(float));
            if (data && reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0) {
                fragments_->push(std::span(static_cast<const float*>(data), count), emit);
            } else if (data) {
                // The server's blocks promise no alignment for floats.
                std::vector<float> samples(count);
                std::memcpy(samples.data(), data, count * sizeof(float));
                fragments_->push(samples, emit);
            } else {
                fragments_->pushSilence(bytes / frameBytes, emit);
            }
        }
        if (closed_) {
            return;  // the callback ended the stream; it is disconnected already
        }
        pulse.stream_drop(stream_.get());
    }
}

void StreamCore::deliver(std::span<const float> samples) {
    if (closed_ || !onSamples_) {
        return;
    }
    try {
        onSamples_(samples);
    } catch (const std::exception& error) {
        vevidocore::Logging::error(std::string("Capture callback failed: ") + error.what());
    }
}

void StreamCore::closeLocked() {
    if (closed_ || !stream_) {
        return;
    }
    // On the loop's thread we are inside readAvailable: the block it peeked is not dropped yet
    // and the fragments are being handed over.
    if (!pulse.threaded_mainloop_in_thread(connection_->loop())) {
        if (pulse.stream_get_state(stream_.get()) == PA_STREAM_READY) {
            readAvailable();
        }
        if (!closed_ && fragments_) {
            fragments_->finish([this](std::span<const float> samples) { deliver(samples); });
        }
    }
    closed_ = true;
    pulse.stream_set_state_callback(stream_.get(), nullptr, nullptr);
    pulse.stream_set_read_callback(stream_.get(), nullptr, nullptr);
    pulse.stream_disconnect(stream_.get());
}

void StreamCore::setPaused(bool paused) {
    PulseConnection& connection = *connection_;
    LoopLock lock(connection.loop());
    if (closed_) {
        return;
    }
    const std::string what = paused ? "pausing the capture" : "resuming the capture";
    if (pulse.threaded_mainloop_in_thread(connection.loop())) {
        // The loop cannot wait for itself: ask, and let the answer come when it comes.
        Operation(pulse.stream_cork(stream_.get(), paused ? 1 : 0, nullptr, nullptr));
        return;
    }
    struct Ack {
        pa_threaded_mainloop* loop;
        bool done = false;
        bool success = false;
    } ack{connection.loop()};
    Operation operation(pulse.stream_cork(
        stream_.get(), paused ? 1 : 0,
        [](pa_stream*, int success, void* data) {
            auto* ack = static_cast<Ack*>(data);
            ack->done = true;
            ack->success = success != 0;
            pulse.threaded_mainloop_signal(ack->loop, 0);
        },
        &ack));
    if (!operation || !connection.waitLocked([&] { return ack.done; })) {
        if (operation) {
            pulse.operation_cancel(operation.get());
        }
        throw connection.noAnswer(what);
    }
    if (!ack.success) {
        throw AudioCaptureError("The sound server refused " + what + ": " +
                                pulse.strerror(pulse.context_errno(connection.context())));
    }
}

}  // namespace

std::shared_ptr<AudioCapture> AudioCapture::connect(const std::string& clientName) {
    try {
        loadPulse();
    } catch (const std::runtime_error& error) {
        throw AudioCaptureError("Cannot connect to the sound server" + serverName() + ": " +
                                error.what());
    }
    auto connection = std::make_shared<PulseConnection>();
    connection->open(clientName);
    return connection;
}

}  // namespace rararozuvu
