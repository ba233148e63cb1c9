#pragma once

// Collects what the application writes to the Qt log while it lives (and passes it on to the
// previous handler, so it still shows in the test output).

#include <QString>
#include <QtGlobal>

#include <mutex>
#include <string>
#include <vector>

namespace quillora::testing {

class QtMessages {
public:
    QtMessages() {
        current() = this;
        previous_ = qInstallMessageHandler(&QtMessages::handle);
    }
    ~QtMessages() {
        qInstallMessageHandler(previous_);
        current() = nullptr;
    }
    QtMessages(const QtMessages&) = delete;
    QtMessages& operator=(const QtMessages&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& part) const {
        for (const std::string& line : lines()) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    static QtMessages*& current() {
        static QtMessages* instance = nullptr;
        return instance;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (QtMessages* self = current()) {
            {
                std::lock_guard lock(self->mutex_);
                self->lines_.push_back(text.toStdString());
            }
            if (self->previous_) {
                self->previous_(type, context, text);
            }
        }
    }

    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    QtMessageHandler previous_ = nullptr;
};

}  // namespace quillora::testing
