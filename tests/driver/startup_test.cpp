// What start-up makes of the command line, the versions and the device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "driver/device_report.h"
#include "driver/live_progress.h"
#include "driver/options.h"
#include "driver/work_directory.h"
#include "support/test_support.h"

namespace kalvenor {
namespace {

// The driver is judged first; versions are 1000*major + 10*minor and the
// minor is shown modulo 100. From CUDA 11 on a driver of the toolkit's major
// version runs it whatever its minor (a 13.1 build on a 13.0 driver); before,
// the driver had to be at least as new.
TEST(StartUp, VersionChecksAndTheirBlock) {
    struct VersionCase {
        int runtime, driver, compiled;
        VersionVerdict verdict;
        const char *compiledText, *runtimeText, *driverText;
    };
    const VersionCase cases[] = {
        {7050, 0, 7000, VersionVerdict::DriverTooOld, "7.0", "7.50", "0.0"},
        {13000, 13020, 13000, VersionVerdict::Accepted, "13.0", "13.0", "13.20"},
        {12080, 13000, 13000, VersionVerdict::RuntimeMismatch, "13.0", "12.80", "13.0"},
        {13000, 12080, 13000, VersionVerdict::DriverTooOld, "13.0", "13.0", "12.80"},
        {13010, 13000, 13010, VersionVerdict::Accepted, "13.1", "13.10", "13.0"},
        {13010, 14000, 13010, VersionVerdict::Accepted, "13.1", "13.10", "14.0"},
        {10020, 10010, 10020, VersionVerdict::DriverTooOld, "10.2", "10.20", "10.10"},
    };
    for (const VersionCase& c : cases) {
        EXPECT_EQ(checkVersions(c.runtime, c.driver, c.compiled), c.verdict) << c.runtime << "/" << c.driver;
        EXPECT_EQ(cudaVersionBlock(c.runtime, c.driver, c.compiled),
                  std::string("\nCUDA version info\n  binary compiled for CUDA  ") + c.compiledText +
                      "\n  CUDA runtime version      " + c.runtimeText + "\n  CUDA driver version       " + c.driverText + "\n");
    }
}

TEST(StartUp, DeviceBlocks) {
    for (const auto& [major, minor, name, cores] :
         {std::tuple{2, 1, "Fermi", 48}, {8, 0, "Ampere", 64}, {9, 0, "Hopper", 128}, {11, 0, "unknown", 0}}) {
        EXPECT_STREQ(architectureOf(major, minor).name, name) << major << "." << minor;
        EXPECT_EQ(architectureOf(major, minor).coresPerMultiprocessor, cores) << major << "." << minor;
    }
    EXPECT_EQ(cudaDeviceBlock(DeviceInfo{"GeForce GTX 460", 2, 1, 7, 1215500}),
              "\nCUDA device info\n"
              "  name (architecture)       GeForce GTX 460 (Fermi)\n"
              "  compute capability        2.1\n"
              "  streaming multiprocessors 7 (336 CUDA cores)\n"
              "  processor clock           1215MHz\n");
    const std::string withCuda = hostVersionBlock(13000, 0, 13000, "no CUDA driver");
    EXPECT_NE(withCuda.find("  CUDA driver version       0.0\n  CUDA device in use        none: no CUDA driver\n"),
              std::string::npos);
    EXPECT_EQ(hostVersionBlock(0, 0, 0, "built without CUDA"),
              "\nCUDA version info\n  binary compiled for CUDA  none\n  CUDA device in use        none: built without CUDA\n");
    EXPECT_EQ(emulatedVersionBlock(13000, "t4"),
              "\nCUDA version info\n  binary compiled for CUDA  13.0\n  CUDA device in use        none: the host CPU emulates "
              "the GPU below, running its kernels' code (KALVENOR_EMULATE_GPU=t4)\n");
    EXPECT_EQ(hostDeviceBlock(DeviceInfo{"AMD EPYC", 0, 0, 2, 2450000}, "AVX-512 IFMA"),
              "\nHost device info\n"
              "  name (architecture)       AMD EPYC (host CPU)\n"
              "  threads used              2\n"
              "  processor clock           2450MHz\n"
              "  kernels on                AVX-512 IFMA\n");
}

// Only a lock held elsewhere is another kalvenor, named with its holder; a
// file system that takes no locks (Lustre without flock, NFS without its
// lock service) is named as such.
int lockError = 0;
int failingLock(int, int) { return errno = lockError, -1; }

TEST(StartUp, LockRefusals) {
    testing::ScratchDir dir(false);
    const std::string path = dir / "kalvenor.lock";
    DirectoryLock held;
    ASSERT_EQ(held.acquire(path), ExitCode::Success);
    const std::string holder = "pid " + std::to_string(::getpid()) + " on ";
    for (const auto& [error, code, says] :
         {std::tuple{0, ExitCode::AnotherInstance, holder.c_str()}, {ENOSYS, ExitCode::WorkFileWriteFailed, "takes no flock"},
          {EOPNOTSUPP, ExitCode::WorkFileWriteFailed, "takes no flock"}, {ENOLCK, ExitCode::WorkFileWriteFailed, "takes no flock"},
          {EIO, ExitCode::WorkFileWriteFailed, "can't lock kalvenor.lock"}}) {
        lockError = error;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(DirectoryLock().acquire(path, error == 0 ? ::flock : failingLock), code) << error;
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(says), std::string::npos) << err;
        EXPECT_EQ(err.find("another kalvenor") != std::string::npos, code == ExitCode::AnotherInstance) << err;
    }
    // Two directories whose worktodo.txt link to one file: the second is refused.
    namespace fs = std::filesystem;
    testing::ScratchDir shared;
    for (const char* sub : {"queue", "a", "b"}) fs::create_directory(shared / sub);
    testing::writeFile(shared / "queue" / "worktodo.txt", "FermatFactor=127,127,3,9\n");
    DirectoryLock first, second;
    for (const auto& [sub, lock, code] : {std::tuple{"a", &first, ExitCode::Success}, {"b", &second, ExitCode::AnotherInstance}}) {
        fs::create_symlink(shared / "queue" / "worktodo.txt", shared / sub / "worktodo.txt");
        fs::current_path(shared / sub);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(lock->acquire(WorkPaths{}), code) << sub;
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("on the file worktodo.txt links to") != std::string::npos, code == ExitCode::AnotherInstance) << err;
    }
}

TEST(Options, ParsesEveryOptionAndRejectsTheRest) {
    struct OptionsCase {
        std::vector<std::string> arguments;
        bool help, version, selftest, forceHost;
        int ordinal;
        const char* errorPart;  // "" when the line is fine
        SieveChoice sieve = SieveChoice::Default;
        int64_t sievePrimes = -1;
    };
    const OptionsCase cases[] = {
        {{}, false, false, false, false, 0, ""},
        {{"--help"}, true, false, false, false, 0, ""},
        {{"-h"}, true, false, false, false, 0, ""},
        {{"--version"}, false, true, false, false, 0, ""},
        {{"--device=cpu", "--selftest"}, false, false, true, true, 0, ""},
        {{"--device", "3"}, false, false, false, false, 3, ""},
        {{"--device=1"}, false, false, false, false, 1, ""},
        {{"--device"}, false, false, false, false, 0, "needs a value"},
        {{"--device", "gpu"}, false, false, false, false, 0, "bad value 'gpu' for option '--device'"},
        {{"--device", "-1"}, false, false, false, false, 0, "bad value '-1'"},
        {{"--device", "99999"}, false, false, false, false, 0, "bad value '99999'"},
        {{"worktodo.txt"}, false, false, false, false, 0, "unknown option 'worktodo.txt'"},
        {{"--selftest", "--bogus"}, false, false, true, false, 0, "unknown option '--bogus'"},
        {{"--sieve", "host", "--sieve-primes=203280220"}, false, false, false, false, 0, "", SieveChoice::Host, 203280220},
        {{"--sieve=gpu", "--device", "cpu", "--sieve-primes", "0"}, false, false, false, true, 0, "", SieveChoice::Gpu, 0},
        {{"--sieve", "cpu"}, false, false, false, false, 0, "bad value 'cpu' for option '--sieve' ('gpu' or 'host')"},
        {{"--sieve-primes", "203280221"}, false, false, false, false, 0, "bad value '203280221'"},
        {{"--sieve-primes", "1e6"}, false, false, false, false, 0, "bad value '1e6'"},
        {{"--sieve-primes"}, false, false, false, false, 0, "option '--sieve-primes' needs a value"},
        {{"--sieve", "gpu", "--sieve=host"}, false, false, false, false, 0, "option '--sieve' given twice"},
        {{"--cut", "3"}, false, false, false, false, 0, "option '--cut' needs a unit count and an assignment line"},
        {{"--cut", "0", "36,36,3,9"}, false, false, false, false, 0, "bad unit count '0' for option '--cut' (1 to 1000000)"},
        {{"--cut", "2", "36,36,3,9", "--selftest"}, false, false, false, false, 0, "'--cut' and '--selftest' cannot be used together"},
        {{"--costs"}, false, false, false, false, 0, "option '--costs' goes with '--cut'"},
    };
    for (const OptionsCase& c : cases) {
        const Options o = parseOptions(c.arguments);
        EXPECT_NE(o.error.find(c.errorPart), std::string::npos) << o.error;
        if (*c.errorPart == '\0') {
            EXPECT_EQ(std::tuple(o.error, o.help, o.version, o.selftest, o.forceHost, o.deviceOrdinal, o.sieve, o.sievePrimes),
                      std::tuple("", c.help, c.version, c.selftest, c.forceHost, c.ordinal, c.sieve, c.sievePrimes));
        }
    }
    for (const char* part : {"--device N", "--device cpu", "--sieve gpu", "--sieve host", "--sieve-primes N", "--selftest", "--cut N LINE", "--costs", "--quiet", "results.jsonl", "--help", "--version", "worktodo.txt",
                             "results.txt", "factors.txt", "kalvenor.cpt", "  6 ", "  7 ", "  2 ", "  10 ",
                             "KALVENOR_HOST_PATH", "KALVENOR_EMULATE_GPU"})
        EXPECT_NE(usageText().find(part), std::string::npos) << part;
}

// The share of the line done weighs each exponent by its n - 1 squarings; it
// feeds the client's fraction done and the status line's time left.
TEST(LiveProgress, ShareOfTheLineAndTimeLeft) {
    struct FractionCase {
        uint32_t nStart, nEnd, nCurrent;
        uint64_t kStart, kEnd, k;
        double fraction;
    };
    const FractionCase cases[] = {
        {36, 36, 36, 1001, 2000, 1001, 0.0},
        {36, 36, 36, 1001, 2000, 1501, 0.5},
        {36, 37, 36, 1001, 2000, 1501, 17.5 / 71},
        {36, 37, 37, 1001, 2000, 1001, 35.0 / 71},
        {36, 37, 38, 1001, 2000, 1001, 1.0},  // past the last exponent
        {40, 40, 40, 1, UINT64_MAX, uint64_t{1} << 63, 0.5},  // the widest line
    };
    for (const FractionCase& c : cases) {
        RunState state;
        state.nStart = c.nStart, state.nEnd = c.nEnd, state.nCurrent = c.nCurrent;
        state.kStart = c.kStart, state.kEnd = c.kEnd;
        EXPECT_NEAR(lineFraction(state, c.k), c.fraction, 1e-9) << c.nCurrent << " " << c.k;
    }
    RunState state;
    state.nStart = 36, state.nEnd = 37, state.nCurrent = 36, state.kStart = 1, state.kEnd = 10000000;
    // Half of n=36 at 10^6/s: 5 s left of it, and n=37 costs 36/35 of 10 s.
    EXPECT_EQ(progressText(state, 5000001, 1e6), "n=36   24.6% of the line  1e+06 k/s  0m 15s left");
    // Erased for a message, the status line is back right after it, below it.
    char* text = nullptr;
    size_t size = 0;
    std::FILE* stream = ::open_memstream(&text, &size);
    LiveProgress on(true, stream);
    on.update(state, 3);
    ::usleep(2000);  // a rate needs time to pass
    on.update(state, 5000001);
    on.clear();
    std::fputs("\nmessage\n", stream);
    on.update(state, 5000003);
    std::fclose(stream);
    EXPECT_TRUE(std::regex_match(std::string(text, size), std::regex("\r(n=36 [^\r\n]*)\x1b\\[K\r\x1b\\[K\nmessage\n\r(n=36 [^\r\n]*)\x1b\\[K")))
        << text;
    std::free(text);
    // Off a terminal nothing is written, not even the erasing.
    ::testing::internal::CaptureStdout();
    LiveProgress off(false);
    off.update(state, 3);
    off.update(state, 5000001);
    off.clear();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace kalvenor
