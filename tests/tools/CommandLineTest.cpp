// quillora-cli run as a user runs it: a table of command lines, each with the exit status and the
// line on standard error it must give, against files made in a temporary folder.

#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AudioFixtures.h"
#include "TestHub.h"

namespace {

namespace fs = std::filesystem;
using rararozuvu::testing::TempFolder;
using ::testing::HasSubstr;
using ::testing::Not;

const fs::path kShared = QUILLORA_SHARED_DIR;
const fs::path kCheckpoint = kShared / "models/tiny-en-synth";
const fs::path kSpeech = kShared / "data/audio-synth/sample_000.wav";

// Where the program's standard output goes.
enum class Stdout { pipe, devFull, closedPipe };

struct CliRun {
    int status = -1;  // the exit status, or 128 + the signal that ended the program
    std::string out;
    std::string err;
};

// Runs quillora-cli with `args`, collecting both outputs. `fileSizeLimit` caps the size of any
// file the program writes, so a write fails with the cause the system gives (EFBIG), as a full
// disk would fail with ENOSPC.
CliRun runCli(const std::vector<std::string>& args, Stdout stdoutMode = Stdout::pipe,
              std::optional<rlim_t> fileSizeLimit = std::nullopt,
              const char* program = QUILLORA_CLI) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    if (stdoutMode == Stdout::closedPipe) {
        ::close(outPipe[0]);
        outPipe[0] = -1;
    }
    const int devFull = stdoutMode == Stdout::devFull ? ::open("/dev/full", O_WRONLY) : -1;
    std::vector<std::string> argv_{program};
    argv_.insert(argv_.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(devFull >= 0 ? devFull : outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        if (fileSizeLimit) {
            const rlimit limit{*fileSizeLimit, *fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (devFull >= 0) {
        ::close(devFull);
    }

    CliRun run;
    // A program that never ends (a FIFO opened for reading) fails the test instead of hanging it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "quillora-cli did not finish: "
                          << fmt::format("{}", fmt::join(args, " "));
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[4096];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                }
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The trained test model converted once per test program, and the inputs the table names.
class CommandLine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempFolder;
        const CliRun convert = runCli({"convert", kCheckpoint.string(), path("model")});
        ASSERT_EQ(convert.status, 0) << convert.err;

        fs::copy_file(kSpeech, path("speech.wav"));
        fs::copy_file(kSpeech, path("-dash.wav"));
        fs::create_directories(path("d1"));
        fs::create_directories(path("d2"));
        fs::copy_file(kSpeech, path("d1/a.wav"));
        fs::copy_file(kShared / "data/audio-synth/sample_001.wav", path("d2/a.wav"));
        // The longest name a file system takes is 255 bytes; ".json" must still fit after it.
        fs::copy_file(kSpeech, path(std::string(248, 'n') + ".wav"));
        // 40 s, long enough to be cut into pieces by the voice activity chunking.
        rararozuvu::testing::writeWav(path("silence.wav"), 16000,
                                      {std::vector<float>(40 * 16000, 0.0f)});
        rararozuvu::testing::writeBytes(path("broken.wav"),
                                        std::string("RIFF") + std::string(3000, '\x17'));
        std::vector<float> poisoned(16000, 0.1f);
        poisoned[8000] = std::nanf("");
        rararozuvu::testing::writeFloatWav(path("nan.wav"), 16000, poisoned);
        rararozuvu::testing::writeBytes(
            path("one-hertz.wav"),
            rararozuvu::testing::wavHeader(1, 1, 16, 1, 32000) + std::string(32000, '\0'));
        rararozuvu::testing::writeFlacClaimingDays(path("days.flac"));
        ASSERT_EQ(::mkfifo(path("fifo.wav").c_str(), 0600), 0);
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }

    static std::string path(const std::string& name) { return folder_->file(name); }

    // Replaces {name} by the path of that file in the suite's folder.
    static std::vector<std::string> expand(const std::vector<std::string>& args) {
        std::vector<std::string> expanded;
        for (const std::string& arg : args) {
            std::string out;
            for (std::size_t i = 0; i < arg.size();) {
                const std::size_t close = arg.find('}', i);
                if (arg[i] == '{' && close != std::string::npos) {
                    out += path(arg.substr(i + 1, close - i - 1));
                    i = close + 1;
                } else {
                    out += arg[i++];
                }
            }
            expanded.push_back(out);
        }
        return expanded;
    }

    static TempFolder* folder_;
};
TempFolder* CommandLine::folder_ = nullptr;

struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    // Each must appear on standard error; with an exit status of 0, standard error is empty.
    std::vector<std::string> errors;
    Stdout stdoutMode = Stdout::pipe;
    std::optional<rlim_t> fileSizeLimit = std::nullopt;
};

void expectRun(const CliRun& run, const Case& c) {
    EXPECT_EQ(run.status, c.status) << run.err;
    for (const std::string& error : c.errors) {
        EXPECT_THAT(run.err, HasSubstr(error));
    }
    if (c.status != 0) {
        // One line for each thing that went wrong, not a wall of text.
        EXPECT_LE(std::count(run.err.begin(), run.err.end(), '\n'),
                  static_cast<long>(std::max<std::size_t>(c.errors.size(), 1)))
            << run.err;
    } else {
        EXPECT_EQ(run.err, "");
    }
}

TEST_F(CommandLine, WrongCommandLinesAreRefusedBeforeAnythingLoads) {
    const Case cases[] = {
        {"zero sample length",
         {"--model-path", "{model}", "--sample-length", "0", "{speech.wav}"},
         2,
         {"--sample-length must be a number of at least 1, not \"0\""}},
        {"negative sample length",
         {"--model-path", "{model}", "--sample-length", "-5", "{speech.wav}"},
         2,
         {"--sample-length must be a number of at least 1, not \"-5\""}},
        {"negative temperature",
         {"--model-path", "{model}", "--temperature", "-1", "{speech.wav}"},
         2,
         {"--temperature must be a number of at least 0, not \"-1\""}},
        {"temperature not a number",
         {"--model-path", "{model}", "--temperature", "nan", "{speech.wav}"},
         2,
         {"--temperature must be a number of at least 0, not \"nan\""}},
        {"negative workers",
         {"--model-path", "{model}", "--workers", "-1", "{speech.wav}"},
         2,
         {"--workers must be a number of at least 0, not \"-1\""}},
        {"negative fallback count",
         {"--model-path", "{model}", "--fallback-count", "-3", "{speech.wav}"},
         2,
         {"--fallback-count must be a number of at least 0"}},
        {"workers not a number",
         {"--model-path", "{model}", "--workers", "4x", "{speech.wav}"},
         2,
         {"--workers needs a whole number, not \"4x\""}},
        {"unknown option",
         {"--model-path", "{model}", "--fast", "{speech.wav}"},
         2,
         {"unknown option --fast"}},
        {"no audio", {"--model-path", "{model}"}, 2, {"no audio file given"}},
        {"two inputs of one name",
         {"--model-path", "{model}", "--output-format", "txt", "--output-dir", "{dup}",
          "{d1/a.wav}", "{d2/a.wav}"},
         2,
         {path("d1/a.wav") + " and " + path("d2/a.wav") + " would both be written as a.*"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expectRun(runCli(expand(c.args)), c);
    }
    // With no argument at all, the usage is the answer.
    const CliRun bare = runCli({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_THAT(bare.err, ::testing::StartsWith("usage:"));
    EXPECT_EQ(bare.out, "");

    // A name that starts with a dash is an option until "--" ends the options.
    const fs::path cwd = fs::current_path();
    fs::current_path(path(""));
    const CliRun withoutEnd = runCli({"--model-path", "model", "-dash.wav"});
    const CliRun afterEnd = runCli({"--model-path", "model", "--", "-dash.wav"});
    fs::current_path(cwd);
    EXPECT_EQ(withoutEnd.status, 2);
    EXPECT_THAT(withoutEnd.err, HasSubstr("unknown option -dash.wav"));
    EXPECT_EQ(afterEnd.status, 0) << afterEnd.err;
    EXPECT_NE(afterEnd.out, "");
    // Nothing was transcribed for the two inputs of one name.
    EXPECT_FALSE(fs::exists(path("dup")));
}

TEST_F(CommandLine, EachFailureIsOneLineAndANonZeroExit) {
    const std::string checkpoint = kCheckpoint.string();
    const Case cases[] = {
        {"missing audio",
         {"--model-path", "{model}", "{missing.wav}"},
         1,
         {path("missing.wav") + ": No such file or directory"}},
        {"broken audio",
         {"--model-path", "{model}", "{broken.wav}"},
         1,
         {path("broken.wav") + ": Failed to open audio file " + path("broken.wav")}},
        {"missing model",
         {"--model-path", "{no-model}", "{speech.wav}"},
         1,
         {"no model folder at " + path("no-model")}},
        {"a checkpoint given as the model",
         {"--model-path", checkpoint, "{speech.wav}"},
         1,
         {checkpoint + " is a checkpoint, not a model folder"}},
        {"a FIFO",
         {"--model-path", "{model}", "{fifo.wav}"},
         1,
         {path("fifo.wav") + ": not a regular file"}},
        {"samples that are not numbers",
         {"--model-path", "{model}", "{nan.wav}"},
         1,
         {path("nan.wav") + " holds samples that are not finite numbers"}},
        {"a 1 Hz header",
         {"--model-path", "{model}", "{one-hertz.wav}"},
         1,
         {path("one-hertz.wav") + ": unsupported sample rate of 1 Hz"}},
        {"fifty days claimed",
         {"--model-path", "{model}", "{days.flac}"},
         1,
         {path("days.flac") + ": the audio lasts longer than 24 hours"}},
        {"standard output on a full device",
         {"--model-path", "{model}", "{speech.wav}"},
         1,
         {"cannot write to standard output: No space left on device"},
         Stdout::devFull},
        {"standard output into a closed pipe",
         {"--model-path", "{model}", "{speech.wav}"},
         1,
         {"cannot write to standard output: Broken pipe"},
         Stdout::closedPipe},
        {"help on a full device", {"--help"}, 1, {"No space left on device"}, Stdout::devFull},
        {"output files that cannot grow",
         {"--model-path", "{model}", "--output-format", "json", "--output-dir", "{limited}",
          "{speech.wav}"},
         1,
         {"cannot write json of " + path("speech.wav"), "File too large"},
         Stdout::pipe,
         rlim_t{64}},
        {"an output folder that is a file",
         {"--model-path", "{model}", "--output-format", "txt", "--output-dir", "{speech.wav}",
          "{speech.wav}"},
         1,
         {"cannot use " + path("speech.wav") + " as the output folder"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expectRun(runCli(expand(c.args), c.stdoutMode, c.fileSizeLimit), c);
    }
    // The failed json write left neither the file nor a temporary one.
    EXPECT_TRUE(fs::is_empty(path("limited")));
}

TEST_F(CommandLine, TranscriptsAndTheirFiles) {
    // Speech prints its text; silence prints nothing at all, chunked or not.
    const CliRun speech = runCli(expand({"--model-path", "{model}", "{speech.wav}"}));
    EXPECT_EQ(speech.status, 0) << speech.err;
    EXPECT_GT(speech.out.size(), 2u);
    EXPECT_EQ(std::count(speech.out.begin(), speech.out.end(), '\n'), 1) << speech.out;
    EXPECT_TRUE(speech.out.ends_with("\n")) << speech.out;
    for (const char* chunking : {"none", "vad"}) {
        SCOPED_TRACE(chunking);
        const CliRun silence =
            runCli(expand({"--model-path", "{model}", "--chunking", chunking, "{silence.wav}"}));
        EXPECT_EQ(silence.status, 0) << silence.err;
        EXPECT_EQ(silence.out, "");
    }

    // Subtitles and JSON hold the words only, unless the special tokens are asked for; the
    // output folder is made when missing; a name at the file system's limit is written.
    const std::string longName = std::string(248, 'n');
    const CliRun files =
        runCli(expand({"--model-path", "{model}", "--output-format", "txt,srt,vtt,json",
                       "--output-dir", "{out/deeper}", "{speech.wav}", "{" + longName + ".wav}"}));
    EXPECT_EQ(files.status, 0) << files.err;
    for (const std::string& stem : {std::string("speech"), longName}) {
        for (const char* extension : {".txt", ".srt", ".vtt", ".json"}) {
            const std::string text = fileText(path("out/deeper/" + stem + extension));
            EXPECT_THAT(text, HasSubstr(" ")) << stem << extension;
            EXPECT_THAT(text, Not(HasSubstr("<|"))) << stem << extension;
        }
    }
    const CliRun kept =
        runCli(expand({"--model-path", "{model}", "--keep-special-tokens", "--output-format",
                       "srt,json", "--output-dir", "{kept}", "{speech.wav}"}));
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_THAT(fileText(path("kept/speech.srt")), HasSubstr("<|0.00|>"));
    EXPECT_THAT(fileText(path("kept/speech.json")), HasSubstr("<|0.00|>"));
    EXPECT_THAT(kept.out, Not(HasSubstr("<|")));

    // Without timestamps a window is one segment, so one cue.
    const CliRun untimed =
        runCli(expand({"--model-path", "{model}", "--without-timestamps", "--output-format", "srt",
                       "--output-dir", "{untimed}", "{speech.wav}"}));
    EXPECT_EQ(untimed.status, 0) << untimed.err;
    const std::string cues = fileText(path("untimed/speech.srt"));
    EXPECT_THAT(cues, ::testing::StartsWith("1\n00:00:00,000 --> "));
    EXPECT_THAT(cues, Not(HasSubstr("\n2\n")));

    // The prompt reaches the decoder as the previous text.
    const CliRun prompted = runCli(expand({"--model-path", "{model}", "--prompt", "Thursday nine",
                                           "--fallback-count", "0", "--verbose", "{speech.wav}"}));
    EXPECT_EQ(prompted.status, 0) << prompted.err;
    EXPECT_THAT(prompted.err,
                HasSubstr("Prefill prompt: [\"<|startofprev|>\", \"ĠThursday\", \"Ġnine\", "
                          "\"<|startoftranscript|>\""));
}

TEST_F(CommandLine, ConvertKeepsTheCheckpointAndChecksIt) {
    // A checkpoint of its own, so the one refused below could be damaged without harm.
    const fs::path checkpoint = path("ckpt");
    fs::create_directories(checkpoint);
    for (const char* name : {"generation_config.json", "tokenizer.json", "tokenizer_config.json"}) {
        fs::copy_file(kCheckpoint / name, checkpoint / name);
    }
    fs::create_symlink(kCheckpoint / "model.safetensors", checkpoint / "model.safetensors");
    std::string config = fileText(kCheckpoint / "config.json");
    std::ofstream(checkpoint / "config.json") << config;
    const std::string tokenizer = fileText(checkpoint / "tokenizer.json");

    const Case cases[] = {
        {"into itself", {"convert", "{ckpt}", "{ckpt}"}, 1, {"must lie apart from the checkpoint"}},
        {"into a folder inside it",
         {"convert", "{ckpt}", "{ckpt/model}"},
         1,
         {"must lie apart from the checkpoint"}},
        {"into a folder around it",
         {"convert", "{ckpt}", "{}"},
         1,
         {"must lie apart from the checkpoint"}},
        {"too few folders", {"convert", "{ckpt}"}, 2, {"convert needs a checkpoint folder"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expectRun(runCli(expand(c.args)), c);
        EXPECT_EQ(fileText(checkpoint / "tokenizer.json"), tokenizer);
    }

    // A stale half-built bundle of a process that is gone disappears with the next conversion.
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const fs::path stale = path(fmt::format("fresh/.TextDecoder.mlmodelc.partial-{}", gone));
    fs::create_directories(stale);
    const CliRun fresh = runCli(expand({"convert", "{ckpt}", "{fresh}"}));
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_FALSE(fs::exists(stale));

    // The converter's own program reports a lost report too.
    const CliRun unreported =
        runCli(expand({"{ckpt}", "{fresh}"}), Stdout::devFull, std::nullopt, QUILLORA_CONVERT);
    EXPECT_EQ(unreported.status, 1);
    EXPECT_THAT(unreported.err, HasSubstr("cannot write to standard output: No space left"));

    // A configuration that disagrees with the weights.
    config.replace(config.find("\"encoder_ffn_dim\": 1536"), 23, "\"encoder_ffn_dim\": 1000");
    fs::remove(checkpoint / "config.json");
    std::ofstream(checkpoint / "config.json") << config;
    const Case mismatch = {"shapes",
                           {"convert", "{ckpt}", "{mismatch}"},
                           1,
                           {"tensor \"model.encoder.layers.0.fc1.weight\" has shape [1536, 384]"}};
    expectRun(runCli(expand(mismatch.args)), mismatch);
    EXPECT_FALSE(fs::exists(path("mismatch")));
}

}  // namespace

namespace {

// A hub repository may publish a standard checkpoint instead of model folders: --model converts
// it once and transcribes as the checkpoint converted by hand does; a folder of neither layout is
// one clear line.
// FFmpeg and libcurl are opened only when a file is decoded or a model downloaded: without them
// the program still starts, and the file or the download fails with the library's name and the
// reason. A plain WAV file needs no decoder at all.
TEST_F(CommandLine, AMissingLibraryIsTheErrorOfWhatNeedsIt) {
    const hub::testing::TestHub hub;
    const std::string flac = (kShared / "data/audio/librispeech_1089-134686-0000.flac").string();
    struct Missing {
        const char* library;
        std::vector<std::string> args;
        std::string error;
    };
    const Missing cases[] = {
        {"libavformat.so.59",
         {"--model-path", "{model}", flac},
         flac + ": Failed to open audio file " + flac +
             ": cannot load the FFmpeg library libavformat.so.59: "},
        {"libcurl.so.4",
         {"--model", "tiny.en", "--endpoint", hub.endpoint(), "--download-base", "{hub}",
          "{speech.wav}"},
         "Download failed: cannot load the libcurl library libcurl.so.4: "},
    };
    for (const Missing& c : cases) {
        SCOPED_TRACE(c.library);
        // A library of that name that is not one: the loader finds it first and refuses it.
        const std::string libs = path(std::string("libs-") + c.library);
        fs::create_directories(libs);
        rararozuvu::testing::writeBytes(libs + "/" + c.library, "not a library\n");
        ::setenv("LD_LIBRARY_PATH", libs.c_str(), 1);
        const CliRun run = runCli(expand(c.args));
        const CliRun wave = runCli(expand({"--model-path", "{model}", "{speech.wav}"}));
        ::unsetenv("LD_LIBRARY_PATH");
        EXPECT_EQ(run.status, 1);
        EXPECT_THAT(run.err, HasSubstr(c.error));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(wave.status, 0) << wave.err;
        EXPECT_NE(wave.out, "");
    }
}

TEST_F(CommandLine, AHubModelMayBeAStandardCheckpoint) {
    ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    hub::testing::TestHub hub;
    const hub::Repo repo("owner/checkpoints");
    for (const auto& entry : fs::recursive_directory_iterator(kCheckpoint)) {
        if (entry.is_regular_file())
            hub.addFile(repo,
                        "openai_whisper-tiny.en/" +
                            entry.path().lexically_relative(kCheckpoint).generic_string(),
                        fileText(entry.path()));
    }
    hub.addFile(repo, "openai_whisper-base.en/README.md", "neither layout");
    const auto fromHub = [&](const std::string& model) {
        return runCli(expand({"--model", model, "--model-repo", "owner/checkpoints", "--endpoint",
                              hub.endpoint(), "--download-base", "{hub}", "--fallback-count", "0",
                              "{speech.wav}"}));
    };

    const CliRun viaHub = fromHub("tiny.en");
    EXPECT_EQ(viaHub.status, 0) << viaHub.err;
    const CliRun local =
        runCli(expand({"--model-path", "{model}", "--fallback-count", "0", "{speech.wav}"}));
    // The hub client reports on standard output whether it found a token while the monitor is
    // off; the transcript is the last line.
    const auto transcript = [](const std::string& out) {
        const std::size_t start = out.rfind('\n', out.size() >= 2 ? out.size() - 2 : 0);
        return start == std::string::npos ? out : out.substr(start + 1);
    };
    EXPECT_EQ(transcript(viaHub.out), transcript(local.out));
    EXPECT_THAT(transcript(viaHub.out), Not(HasSubstr("TOKEN")));
    EXPECT_TRUE(fs::is_regular_file(fs::path(path("hub")) /
                                    "converted/models/owner/checkpoints/openai_whisper-tiny.en/"
                                    "TextDecoder.mlmodelc/model.json"));

    const CliRun neither = fromHub("base.en");
    EXPECT_EQ(neither.status, 1);
    EXPECT_THAT(neither.err, HasSubstr("holds neither model bundles"));
    ::unsetenv("CI_DISABLE_NETWORK_MONITOR");
}

}  // namespace
