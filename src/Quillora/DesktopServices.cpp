// The real pieces behind the dictation controller.

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <list>
#include <memory>
#include <thread>
#include <utility>

#include "DictationController.h"
#include "audio/AudioRecorder.h"
#include "quillora/text/CleanupClient.h"
#include "quillora/text/Keychain.h"
#include "quillora/text/Permissions.h"
#include "quillora/text/TextInserter.h"
#include "quillora/text/Transcriber.h"
#include "ui/RecordingOverlay.h"
#include "ui/Sounds.h"

namespace quillora {

namespace {

class Recorder final : public DictationRecorder {
public:
    Recorder() {
        recorder_.onLevel = [this](float level) {
            if (onLevel) {
                onLevel(level);
            }
        };
    }
    void start(bool avoidBluetooth) override { recorder_.start(avoidBluetooth); }
    std::vector<float> stop() override { return recorder_.stop(); }

private:
    AudioRecorder recorder_;
};

// Worker threads whose results come back to the main thread. Destroying it stops the work that
// still runs, waits for it, and drops what it would have reported.
class Workers {
public:
    ~Workers() {
        for (Worker& worker : workers_) {
            worker.thread.request_stop();
        }
        workers_.clear();
    }

    // Runs `work` on a thread of its own; the function it returns then runs on the main thread.
    // Returns the thread's stop source.
    std::stop_source run(std::function<std::function<void()>(std::stop_token)> work) {
        workers_.remove_if([](const Worker& worker) { return worker.done->load(); });
        auto done = std::make_shared<std::atomic<bool>>(false);
        QObject* context = &context_;
        std::jthread thread([work = std::move(work), done, context](std::stop_token stop) {
            std::function<void()> report = work(stop);
            if (!stop.stop_requested() && report) {
                QMetaObject::invokeMethod(context, std::move(report), Qt::QueuedConnection);
            }
            done->store(true);
        });
        std::stop_source source = thread.get_stop_source();
        workers_.push_back({done, std::move(thread)});
        return source;
    }

private:
    struct Worker {
        std::shared_ptr<std::atomic<bool>> done;
        std::jthread thread;
    };
    // Declared first, so it outlives the threads: a queued report to it is dropped with it.
    QObject context_;
    std::list<Worker> workers_;
};

class SpeechModel final : public DictationTranscriber {
public:
    void load(const std::string& modelName,
              std::function<void(std::optional<std::string>)> done) override {
        // The load that is no longer wanted gives way as soon as it can.
        load_.request_stop();
        load_ = workers_.run([this, modelName, done = std::move(done)](std::stop_token stop) {
            std::optional<std::string> failure;
            try {
                transcriber_.load(modelName, stop);
            } catch (const std::exception& e) {
                failure = e.what();
            }
            return std::function<void()>([done, failure] { done(failure); });
        });
    }

    void transcribe(std::vector<float> samples, std::function<void(Outcome)> done) override {
        workers_.run([this, samples = std::move(samples), done = std::move(done)](
                         std::stop_token stop) {
            Outcome outcome;
            try {
                outcome.text = transcriber_.transcribe(samples, stop);
            } catch (const std::exception& e) {
                outcome.failure = e.what();
            }
            return std::function<void()>([done, outcome] { done(outcome); });
        });
    }

private:
    Transcriber transcriber_;
    std::stop_source load_{std::nostopstate};
    // Declared last: its threads are joined before the transcriber goes.
    Workers workers_;
};

class Cleaner final : public DictationCleaner {
public:
    void clean(std::string transcript, std::function<void(std::string)> done) override {
        workers_.run([transcript = std::move(transcript), done = std::move(done)](
                         std::stop_token stop) {
            std::string key;
            try {
                key = Keychain::get(std::string(Keychain::apiKeyAccount)).value_or("");
            } catch (const std::exception& e) {
                const std::string line =
                    std::string("Quillora: cannot read the clean-up key: ") + e.what();
                qWarning("%s", line.c_str());
            }
            std::string text = transcript;
            if (!key.empty()) {
                text = CleanupClient::cleanOrKeep(transcript, key, {}, stop).text;
            }
            return std::function<void()>([done, text] { done(text); });
        });
    }

private:
    Workers workers_;
};

class Paster final : public DictationPaster {
public:
    void insert(const QString& text) override { inserter_.insert(text); }

private:
    TextInserter inserter_;
};

class DesktopPermissions final : public DictationPermissions {
public:
    bool hasAccessibility() override { return Permissions::hasAccessibility(); }
    bool hasMicrophone() override { return Permissions::hasMicrophone(); }
    void requestMicrophone() override {
        Permissions::openPrivacyPane(Permissions::Pane::microphone);
    }
    void requestAccessibility() override {
        Permissions::openPrivacyPane(Permissions::Pane::accessibility);
    }
};

class QtClock final : public DictationClock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    void singleShot(std::chrono::milliseconds delay, std::function<void()> action) override {
        QTimer::singleShot(delay, &context_, std::move(action));
    }

private:
    QObject context_;
};

}  // namespace

DictationServices makeDesktopServices() {
    DictationServices services;
    services.recorder = std::make_unique<Recorder>();
    services.transcriber = std::make_unique<SpeechModel>();
    services.cleaner = std::make_unique<Cleaner>();
    services.paster = std::make_unique<Paster>();
    services.overlay = std::make_unique<RecordingOverlay>();
    services.sounds = std::make_unique<PulseSounds>();
    services.permissions = std::make_unique<DesktopPermissions>();
    services.clock = std::make_unique<QtClock>();
    return services;
}

}  // namespace quillora
