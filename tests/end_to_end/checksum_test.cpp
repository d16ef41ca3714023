// The residue checksums of results.jsonl against their definition
// (docs/checksum.md), recomputed with GMP over the multipliers the sieve
// keeps, found by plain striking: the same on every kernel path of the host,
// on the emulated GPU, and with either sieve.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "kernels/gmp_oracle.h"
#include "sieve/strike_oracle.h"
#include "support/test_support.h"

namespace kalvenor::testing {
namespace {

constexpr uint32_t kDepth = 1000;

// The first `count` odd primes, by trial division.
std::vector<uint32_t> oddPrimes(uint32_t count) {
    std::vector<uint32_t> primes;
    for (uint32_t q = 3; primes.size() < count; q += 2) {
        bool prime = true;
        for (uint32_t d = 3; d * d <= q && prime; d += 2) prime = q % d != 0;
        if (prime) primes.push_back(q);
    }
    return primes;
}

struct Line {
    uint32_t nStart, nEnd;
    uint64_t kStart, kEnd;
};

// Three lines, five exponents, two windows' kernels; F28's and F125's factors among them.
const Line kLines[] = {{36, 37, 25709300001ull, 25709340001ull}, {127, 127, 3, 20001}, {341, 341, 2049, 8049}};

// The record's "exponents" as GMP and plain striking have them.
std::string expectedExponents(const Line& line) {
    const std::vector<uint32_t> primes = oddPrimes(kDepth);
    std::string text;
    for (uint32_t n = line.nStart; n <= line.nEnd; ++n) {
        const std::vector<uint64_t> ks = survivors(line.kStart | 1, line.kEnd, n, primes);
        uint64_t sum = 0;
        for (uint64_t k : ks) sum += gmpChecksumTerm(k, n);
        char entry[96];
        std::snprintf(entry, sizeof entry, "%s{\"n\":%u,\"tested\":%zu,\"checksum\":\"%016" PRIx64 "\"}", text.empty() ? "" : ",", n,
                      ks.size(), sum);
        text += entry;
    }
    return text;
}

TEST(Checksum, IsItsDefinitionOnEveryPathAndWithEitherSieve) {
    std::string lines, expected;
    for (const Line& l : kLines) {
        lines += "FermatFactor=" + std::to_string(l.nStart) + "," + std::to_string(l.nEnd) + "," + std::to_string(l.kStart) + "," +
                 std::to_string(l.kEnd) + "\n";
        expected += "\"exponents\":[" + expectedExponents(l) + "]\n";
    }
    struct Way {
        const char* name;
        std::vector<std::string> environment;
        std::string device;
    };
    const Way ways[] = {{"AVX-512 IFMA", {"KALVENOR_HOST_PATH=ifma52"}, "--device cpu "},
                        {"AVX2", {"KALVENOR_HOST_PATH=avx2"}, "--device cpu "},
                        {"64-bit limbs", {"KALVENOR_HOST_PATH=w64"}, "--device cpu "},
                        {"emulated GPU", {"KALVENOR_EMULATE_GPU=h100"}, ""}};
    const std::regex exponents("\"exponents\":\\[[^\\]]*\\]");
    for (const Way& way : ways) {
        for (const char* sieve : {"host", "gpu"}) {
            SCOPED_TRACE(std::string(way.name) + ", --sieve " + sieve);
            ScratchDir dir(false);
            writeFile(dir / "worktodo.txt", lines);
            const ProcessResult run =
                runKalvenor(dir.path(), way.device + "--sieve-primes " + std::to_string(kDepth) + " --sieve " + sieve, 300, way.environment);
            ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
            const std::string records = readFile(dir / "results.jsonl");
            std::string got;
            for (auto it = std::sregex_iterator(records.begin(), records.end(), exponents); it != std::sregex_iterator(); ++it)
                got += it->str() + "\n";
            EXPECT_EQ(got, expected);
            for (const char* factor : {"{\"factor\":\"25709319373*2^36+1\",\"m\":28}", "{\"factor\":\"5*2^127+1\",\"m\":125}"})
                EXPECT_EQ(countOf(records, factor), 1) << records;
        }
    }
}

}  // namespace
}  // namespace kalvenor::testing
