// Costs of the shared files as the helper pays them: reading the wake schedule on every change
// the watcher reports, and replacing the status file on every heartbeat. The write is measured
// whole and without its two fsyncs, so that the share of the flushes can be read off.
//
// The files live under $TMPDIR, else /var/tmp, which unlike /tmp is rarely a tmpfs: on a tmpfs
// an fsync costs nothing and the comparison says little.

#include "shared/AppGroup.h"
#include "shared/AtomicFile.h"
#include "shared/Rfc3339.h"
#include "shared/WakeHelperStatus.h"
#include "shared/WakeSchedule.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace sollun {
namespace {

using std::chrono::seconds;

const std::string typicalSchedule =
    R"({"wakeDate":"2026-03-02T05:25:00Z","alarmDate":"2026-03-02T05:30:00Z","revision":42,)"
    R"("writerVersion":"3.1"})";

const WakeHelperStatus typicalStatus{"3.1", 1, WakeDaemonRegistrationState::enabled,
                                     Instant{seconds{1'772'403'005}},
                                     Instant{seconds{1'772'429'100}}};

class BenchDirectory {
public:
    BenchDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = base != nullptr && base[0] == '/' ? base : "/var/tmp";
        pattern += "/sollun-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    BenchDirectory(const BenchDirectory&) = delete;
    BenchDirectory& operator=(const BenchDirectory&) = delete;
    ~BenchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

void decodeWakeScheduleBench(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeWakeSchedule(typicalSchedule));
    }
}
BENCHMARK(decodeWakeScheduleBench)->Name("DecodeWakeSchedule");

void readWakeScheduleBench(benchmark::State& state) {
    const BenchDirectory dir;
    const auto path = dir.path() / wakeScheduleFileName;
    if (writeFileAtomically(path, typicalSchedule)) {
        state.SkipWithError("cannot write the schedule");
        return;
    }
    for (auto _ : state) {
        auto schedule = readWakeSchedule(path);
        if (!schedule) {
            state.SkipWithError("unreadable schedule");
            break;
        }
        benchmark::DoNotOptimize(schedule);
    }
}
BENCHMARK(readWakeScheduleBench)->Name("ReadAndDecodeWakeSchedule");

void parseRfc3339Bench(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(rfc3339::parse("2026-03-02T07:25:00.123+02:00"));
    }
}
BENCHMARK(parseRfc3339Bench)->Name("Rfc3339Parse");

void encodeWakeHelperStatusBench(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(encodeWakeHelperStatus(typicalStatus));
    }
}
BENCHMARK(encodeWakeHelperStatusBench)->Name("EncodeWakeHelperStatus");

// The real writer: container lookup, encoding, temporary file, fsync, rename, directory fsync.
void writeHelperStatusBench(benchmark::State& state) {
    const BenchDirectory dir;
    ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    std::filesystem::create_directory(dir.path() / appGroupIdentifier);
    for (auto _ : state) {
        if (!writeHelperStatus(typicalStatus)) {
            state.SkipWithError("writeHelperStatus failed");
            break;
        }
    }
    ::unsetenv("XDG_DATA_HOME");
}
BENCHMARK(writeHelperStatusBench)->Name("WriteHelperStatus")->UseRealTime();

void writeFileAtomicallyBench(benchmark::State& state) {
    const BenchDirectory dir;
    const auto target = dir.path() / helperStatusFileName;
    const auto contents = *encodeWakeHelperStatus(typicalStatus);
    for (auto _ : state) {
        if (writeFileAtomically(target, contents)) {
            state.SkipWithError("writeFileAtomically failed");
            break;
        }
    }
}
BENCHMARK(writeFileAtomicallyBench)->Name("WriteFileAtomically")->UseRealTime();

// The same system calls as writeFileAtomically minus both fsyncs; the difference to the benchmark
// above is what durability costs.
void replaceWithoutFsyncBench(benchmark::State& state) {
    const BenchDirectory dir;
    const auto contents = *encodeWakeHelperStatus(typicalStatus);
    for (auto _ : state) {
        const int directory = ::open(dir.path().c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
        const int fd = ::openat(directory, ".helper-status.json.bench",
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        const bool ok = fd >= 0 &&
                        ::write(fd, contents.data(), contents.size()) ==
                            static_cast<ssize_t>(contents.size()) &&
                        ::close(fd) == 0 &&
                        ::renameat(directory, ".helper-status.json.bench", directory,
                                   "helper-status.json") == 0;
        ::close(directory);
        if (!ok) {
            state.SkipWithError("replacement failed");
            break;
        }
    }
}
BENCHMARK(replaceWithoutFsyncBench)->Name("ReplaceWithoutFsync")->UseRealTime();

// The flush alone: rewrite one small file in place and fsync it.
void fsyncBench(benchmark::State& state) {
    const BenchDirectory dir;
    const auto contents = *encodeWakeHelperStatus(typicalStatus);
    const int fd = ::open((dir.path() / "f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    for (auto _ : state) {
        if (::pwrite(fd, contents.data(), contents.size(), 0) < 0 || ::fsync(fd) != 0) {
            state.SkipWithError("fsync failed");
            break;
        }
    }
    ::close(fd);
}
BENCHMARK(fsyncBench)->Name("PwriteAndFsync")->UseRealTime();

} // namespace
} // namespace sollun

BENCHMARK_MAIN();
