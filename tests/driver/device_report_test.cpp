#include "driver/device_report.h"

#include <gtest/gtest.h>

namespace kalvenor {
namespace {

struct VersionCase {
    int runtime, driver, compiled;
    VersionVerdict verdict;
    const char* compiledText;
    const char* runtimeText;
    const char* driverText;
};

TEST(StartUp, VersionChecksAndTheirBlock) {
    const VersionCase cases[] = {
        {7000, 9020, 7000, VersionVerdict::Accepted, "7.0", "7.0", "9.20"},
        {7050, 7050, 7000, VersionVerdict::RuntimeMismatch, "7.0", "7.50", "7.50"},
        {7050, 9000, 7000, VersionVerdict::RuntimeMismatch, "7.0", "7.50", "9.0"},
        {7000, 0, 7000, VersionVerdict::DriverTooOld, "7.0", "7.0", "0.0"},
        {7050, 0, 7000, VersionVerdict::DriverTooOld, "7.0", "7.50", "0.0"},  // the driver is judged first
        {7000, 6050, 7000, VersionVerdict::DriverTooOld, "7.0", "7.0", "6.50"},
        {13000, 13000, 13000, VersionVerdict::Accepted, "13.0", "13.0", "13.0"},
        {13000, 13020, 13000, VersionVerdict::Accepted, "13.0", "13.0", "13.20"},
        {12080, 13000, 13000, VersionVerdict::RuntimeMismatch, "13.0", "12.80", "13.0"},
        {13000, 12080, 13000, VersionVerdict::DriverTooOld, "13.0", "13.0", "12.80"},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.runtime << "/" << c.driver << "/" << c.compiled);
        EXPECT_EQ(checkVersions(c.runtime, c.driver, c.compiled), c.verdict);
        EXPECT_EQ(cudaVersionBlock(c.runtime, c.driver, c.compiled),
                  std::string("\nCUDA version info\n  binary compiled for CUDA  ") + c.compiledText +
                      "\n  CUDA runtime version      " + c.runtimeText + "\n  CUDA driver version       " +
                      c.driverText + "\n");
    }
}

struct ArchitectureCase {
    int major, minor;
    const char* name;
    int cores;
};

TEST(StartUp, ArchitectureTable) {
    const ArchitectureCase cases[] = {
        {2, 0, "Fermi", 32},     {2, 1, "Fermi", 48},     {3, 5, "Kepler", 192},
        {5, 2, "Maxwell", 128},  {6, 1, "Pascal", 128},   {7, 0, "Volta", 64},
        {7, 5, "Turing", 64},    {7, 2, "unknown", 64},   {8, 0, "Ampere", 64},
        {8, 6, "Ampere", 128},   {8, 7, "Ampere", 128},   {8, 9, "Ada", 128},
        {9, 0, "Hopper", 128},   {10, 0, "Blackwell", 128}, {12, 0, "Blackwell", 128},
        {4, 0, "unknown", 0},    {11, 0, "unknown", 0},   {0, 0, "unknown", 0},
    };
    for (const ArchitectureCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
        const Architecture arch = architectureOf(c.major, c.minor);
        EXPECT_STREQ(arch.name, c.name);
        EXPECT_EQ(arch.coresPerMultiprocessor, c.cores);
    }
}

TEST(StartUp, DeviceBlock) {
    DeviceInfo fermi{"GeForce GTX 460", 2, 1, 7, 1215500};
    EXPECT_EQ(cudaDeviceBlock(fermi),
              "\nCUDA device info\n"
              "  name (architecture)       GeForce GTX 460 (Fermi)\n"
              "  compute capability        2.1\n"
              "  streaming multiprocessors 7 (336 CUDA cores)\n"
              "  processor clock           1215MHz\n");
    DeviceInfo future{"Next", 15, 0, 10, 2000000};
    EXPECT_NE(cudaDeviceBlock(future).find("  streaming multiprocessors 10 (0 CUDA cores)\n"), std::string::npos);
}

TEST(StartUp, HostBlocksSayWhyNoCudaDeviceIsUsed) {
    const std::string withCuda = hostVersionBlock(13000, 0, 13000, "no CUDA driver");
    EXPECT_NE(withCuda.find("  CUDA driver version       0.0\n"), std::string::npos);
    EXPECT_NE(withCuda.find("  CUDA device in use        none: no CUDA driver\n"), std::string::npos);
    const std::string without = hostVersionBlock(0, 0, 0, "built without CUDA");
    EXPECT_NE(without.find("  binary compiled for CUDA  none\n"), std::string::npos);
    EXPECT_EQ(without.find("runtime version"), std::string::npos);
    const std::string cpu = hostDeviceBlock(DeviceInfo{"AMD EPYC", 0, 0, 2, 2450000}, "AVX-512 IFMA");
    EXPECT_EQ(cpu,
              "\nHost device info\n"
              "  name (architecture)       AMD EPYC (host CPU)\n"
              "  threads used              2\n"
              "  processor clock           2450MHz\n"
              "  kernels on                AVX-512 IFMA\n");
}

}  // namespace
}  // namespace kalvenor
