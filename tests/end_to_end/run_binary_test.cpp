// The real binary in a scratch directory: its console text, files and exit
// codes for whole runs, resumed runs, lines cut into pieces and the options.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kalvenor::testing {
namespace {

namespace fs = std::filesystem;

const std::string kF127 = "!!! Found factor 5*2^127+1 !!!";

std::string factorBanner(const std::string& message) {
    // The frame is as long as the visible message, padded to 78 characters.
    const size_t visible = message.size() - 1;
    const std::string frame = std::string(visible, '*') + std::string(78 - visible, ' ');
    return "\n" + frame + "\n" + message + frame;
}

RunCase knownFactor(const char* name, const std::string& line, const std::string& factor) {
    return {.name = name, .worktodo = line + "\n", .timeoutSeconds = 300, .factors = {factor},
            .out = {"\nRuntime options\n"}, .results = {"Range is complete. Found 1 factor(s)."}};
}

const RunCase kRuns[] = {
    {.name = "EmptyWorkFile", .worktodo = "", .exitCode = 1,
     .out = {"Kalvenor_CUDA version 2.018\n", "\nNo available assignments found in worktodo file.\n"}},
    {.name = "MissingWorkFile", .exitCode = 1, .err = {"Can't open worktodo file"}},
    {.name = "KnownFactorOfF28", .worktodo = "FermatFactor=36,36,25709300001,25709340001\n",
     .factors = {"!!! Found factor 25709319373*2^36+1 !!!\n"},
     .out = {"\nStarting range: n=36-36 and k=25709300001-25709340001\n",
             "\nRuntime options\n  GPU kernel                kalvenor96bit_n32_63\n", "\nTesting for n = 36\n",
             factorBanner("!!! Found factor 25709319373*2^36+1 !!!\n") + "25709319373*2^36+1 divides F28\n", "\nn=36: tested ",
             "\nNo more assignments found in worktodo file. Work is done.\n"},
     .results = {"Starting range: n=36-36 and k=25709300001-25709340001\n", "n=36: tested ", " of 40001 numbers (",
                 "Range is complete. Found 1 factor(s). For details see file factors.txt\n" + std::string(80, '-') + "\n"},
     .more = [](const fs::path& dir, const ProcessResult&) {
         const std::string factors = readFile(dir / "factors.txt");
         ASSERT_GE(factors.size(), 25u);
         EXPECT_EQ(factors[24], '\n');  // the ctime stamp on its own line
         static const std::regex record(
             "\\{\"line\":\"FermatFactor=36,36,25709300001,25709340001\","
             "\"sievePrimes\":[1-9][0-9]*,\"exponents\":\\[\\{\"n\":36,\"tested\":[1-9][0-9]*,\"checksum\":\"[0-9a-f]{16}\"\\}\\],"
             "\"factors\":\\[\\{\"factor\":\"25709319373\\*2\\^36\\+1\",\"m\":28\\}\\],\"status\":\"complete\"\\}\n");
         EXPECT_TRUE(std::regex_match(readFile(dir / "results.jsonl"), record)) << readFile(dir / "results.jsonl");
     }},
    {.name = "BlankLineIsRemovedThenTheNextLineRuns", .worktodo = "   \nFermatFactor=127,127,3,101\n",
     .factors = {kF127}, .out = {"\nRemoved blank line from worktodo file.\n"}},
    {.name = "RejectedLinesAreRemovedWithTheirMessages",
     .worktodo = "fermatfactor=40,40,3,5\nFermatFactor=31,40,3,5\nFermatFactor=40,40,9,7\n",
     .out = {"\nRemoved a line that does not begin with FermatFactor= (case-sensitive).\n",
             "\nThe values of n must be in the range from nMin = 32 to nMax = 607.\n"
             "\nRemoved a line with incorrect start or end values of k or n.\n",
             "\nThe ending value for k (kEnd) was not set or less than the starting value of k (kStart).\n"},
     .results = {{"Refused the line ", 3}, "Refused the line FermatFactor=31,40,3,5: The values of n must be in the range"}},
    // A refused line is noted with its text and reason where a finished one would be.
    {.name = "MistypedLineIsRefusedAndNoted", .worktodo = "FermatFactor=36,36,3,1000000000x\n",
     .out = {"\nThe line goes on after the ending value for k (kEnd).\n"},
     .results = {"Refused the line FermatFactor=36,36,3,1000000000x: The line goes on after the ending value for k (kEnd).\n"},
     .more = [](const fs::path& dir, const ProcessResult&) {
         EXPECT_EQ(readFile(dir / "results.jsonl"),
                   "{\"line\":\"FermatFactor=36,36,3,1000000000x\",\"exponents\":[],\"factors\":[],\"status\":\"refused\","
                   "\"reason\":\"The line goes on after the ending value for k (kEnd).\"}\n");
     }},
    // The exit code says how the file ended, not in which order its lines came.
    {.name = "FinishedLineThenLineWithoutKernel", .worktodo = "FermatFactor=127,127,3,9\nFermatFactor=36,37,3,1001\n",
     .factors = {kF127}, .out = {"\nNo more assignments found in worktodo file. Work is done.\n"},
     .results = {"n=36-37, k=3-1001: not tested, no kernel for P below 2^64\n"}},
    {.name = "HandWrittenCheckpointContinuesWithoutStartingAgain",
     .worktodo = "FermatFactor=60,62,4294967297,4294977297\n",
     .checkpoint = "nCurrent=61\nkCurrent=4294970001\nkTested =100\nseconds =5.00\nfactors =0\n",
     .out = {"\nContinue range: n=60-62(61) and k=4294967297-4294977297(4294970001)\n", {"Starting range", 0},
             {"\nTesting for n = 60\n", 0}, "\nTesting for n = 61\n", "\nTesting for n = 62\n"},
     .results = {{"Starting range", 0}, {"Range is complete. No factors found.\n", 1}}},
    {.name = "CheckpointOfAnotherLineIsRemovedAndTheRangeStartsAfresh",
     .worktodo = "FermatFactor=60,60,4294967297,4294977297\n",
     .checkpoint = "nCurrent=75\nkCurrent=4294970001\nkTested =100\nseconds =5.00\nfactors =0\n",
     .out = {"\nThe current value for n (nCurrent) is outside of the range of n.\n"
             "\nRemoved obsolete checkpoint file kalvenor.cpt and continue.\n",
             "\nStarting range: n=60-60 and k=4294967297-4294977297\n"}},
    // An urgent line put above a stopped one: the stopped line's progress is
    // kept under its own name, and taken up once the urgent line is done; a
    // kept checkpoint whose line is gone is removed.
    {.name = "UrgentLineAboveAStoppedOneKeepsItsProgress",
     .worktodo = "FermatFactor=127,127,3,9\nFermatFactor=60,62,4294967297,4294977297\n",
     .checkpoint = "nCurrent=61\nkCurrent=4294970001\nkTested =100\nseconds =5.00\nfactors =0\n"
                   "line    =FermatFactor=60,62,4294967297,4294977297\ntested  =60:363\n",
     .files = {{"kalvenor-36-36-3-5.cpt", "nCurrent=36\n"}}, .factors = {kF127},
     .out = {"\nRemoved kalvenor-36-36-3-5.cpt, the checkpoint kept for FermatFactor=36,36,3,5, a line no longer in worktodo.txt.\n",
             "\nKept the checkpoint of FermatFactor=60,62,4294967297,4294977297, further down in worktodo.txt, as "
             "kalvenor-60-62-4294967297-4294977297.cpt.\n\nStarting range: n=127-127 and k=3-9\n",
             "\nTook up the checkpoint kept for this line in kalvenor-60-62-4294967297-4294977297.cpt.\n"
             "\nContinue range: n=60-62(61) and k=4294967297-4294977297(4294970001)\n",
             {"\nTesting for n = 60\n", 0}, {"obsolete", 0}},
     .more = [](const fs::path& dir, const ProcessResult&) {
         EXPECT_NE(readFile(dir / "results.jsonl").find("\"exponents\":[{\"n\":60,\"tested\":363,\"checksum\":null},{\"n\":61,"),
                   std::string::npos) << readFile(dir / "results.jsonl");
     }},
    // A refused line above it takes nothing of its progress with it.
    {.name = "RefusedLineAboveAStoppedOneLeavesItsProgress",
     .worktodo = "fermatfactor=40,40,3,5\nFermatFactor=60,62,4294967297,4294977297\n",
     .checkpoint = "nCurrent=61\nkCurrent=4294970001\nkTested =100\nseconds =5.00\nfactors =0\n"
                   "line    =FermatFactor=60,62,4294967297,4294977297\ntested  =60:363\n",
     .out = {"\nContinue range: n=60-62(61) and k=4294967297-4294977297(4294970001)\n", {"Starting range", 0}}},
    // A line taken up goes on at the sieve depth its checkpoint was made with.
    {.name = "ResumeKeepsTheCheckpointsSieveDepth", .worktodo = "FermatFactor=60,61,4294967297,4294977297\n",
     .checkpoint = "nCurrent=61\nkCurrent=4294967297\nkTested =0\nseconds =0.00\nfactors =0\n"
                   "line    =FermatFactor=60,61,4294967297,4294977297\ntested  =60:1234\nsieve   =1000\n",
     .out = {"\nThe line goes on at its checkpoint's sieve depth of 1000 primes, not ", "prime count               1000\n"},
     .more = [](const fs::path& dir, const ProcessResult&) {
         EXPECT_NE(readFile(dir / "results.jsonl").find("\"sievePrimes\":1000,\"exponents\":[{\"n\":60,\"tested\":1234,"),
                   std::string::npos) << readFile(dir / "results.jsonl");
     }},
    // n = 62 fits the 96-bit kernel, n = 63 needs 128 bits, 64..65 belong to the next window.
    {.name = "LineAcrossWindowsAndLevelsRunsPieceByPiece",
     .worktodo = "FermatFactor=62,65,8589934593,8589936593\nFermatFactor=127,127,3,9\n", .factors = {kF127},
     .out = {{"\nTesting for n = 62\n", 1}, {"\nTesting for n = 63\n", 1}, {"\nTesting for n = 64\n", 1},
             {"\nTesting for n = 65\n", 1}, {"\nTesting for n = 127\n", 1}},
     .results = {{"Range is complete.", 4}},
     .more = [](const fs::path&, const ProcessResult& run) {
         size_t last = 0;
         for (const char* kernel : {"96bit_n32_63", "128bit_n32_63", "128bit_n64_95", "160bit_n96_127"}) {
             const size_t at = run.out.find(std::string("GPU kernel                kalvenor") + kernel + "\n");
             ASSERT_NE(at, std::string::npos) << kernel << "\n" << run.out;
             EXPECT_LT(last, at) << kernel << " runs out of order";
             last = at;
         }
     }},
    knownFactor("KnownFactorAtN74", "FermatFactor=74,74,76400001,76500001", "!!! Found factor 76432329*2^74+1 !!!"),
    knownFactor("KnownFactorAtN127", "FermatFactor=127,127,3,2001", kF127),
    knownFactor("KnownFactorAtN252", "FermatFactor=252,252,301,1001", "!!! Found factor 403*2^252+1 !!!"),
    knownFactor("KnownFactorAtN120", "FermatFactor=120,120,1527888802600001,1527888802630001",
                "!!! Found factor 1527888802614951*2^120+1 !!!"),
    {.name = "SummaryLinesAreStampedAndCompletionLinesAreNot",
     .worktodo = "FermatFactor=60,61,4294967297,4294977297\n", .out = {{"\nTesting for n = ", 2}},
     .more = [](const fs::path& dir, const ProcessResult&) {
         // stamp, Starting range, stamp, n=60, stamp, n=61, completion, separator
         static const std::regex layout(
             "[^\n]{24}\nStarting range: n=60-61 and k=4294967297-4294977297[^\n]*\n[^\n]{24}\nn=60: tested [^\n]*\n"
             "[^\n]*\nn=61: tested [^\n]*\nRange is complete\\. No factors found\\.\n-{80}\n");
         const std::string results = readFile(dir / "results.txt");
         EXPECT_TRUE(std::regex_match(results, layout)) << results;
     }},
    // Options that end the program before any work leave the directory alone.
    {.name = "Help", .args = "--help", .exitCode = 0, .out = {"Usage: kalvenor"}},
    {.name = "Version", .args = "--version", .exitCode = 0, .out = {{"Kalvenor_CUDA version 2.018\n", kAtStart}}},
    {.name = "UnknownOption", .args = "--fast", .exitCode = 2, .out = {{"", kWhole}},
     .err = {{"kalvenor: unknown option '--fast'\nTry 'kalvenor --help' for more information.\n", kWhole}}},
    {.name = "BadDevice", .args = "--device gpu0", .exitCode = 2, .err = {"'--device'"}},
    {.name = "ContradictoryOptions", .args = "--selftest --version", .exitCode = 2, .out = {{"", kWhole}},
     .err = {"kalvenor: options '--selftest' and '--version' cannot be used together\n"}},
    // Someone who names a device runs one process per GPU: no quiet fallback.
    {.name = "NamedDeviceThatCannotBeUsed", .args = "--device 7", .exitCode = 3, .out = {{"", kWhole}},
     .err = {"kalvenor: CUDA device 7 cannot be used: "}},
    // Nothing of the first line has a kernel: it is named and removed, and the next line runs.
    {.name = "LineWithoutKernelIsNamedAndRemoved", .worktodo = "FermatFactor=36,37,3,1001\nFermatFactor=127,127,3,9\n",
     .factors = {kF127}, .out = {"\nn=36-37, k=3-1001: not tested, no kernel for P below 2^64\n"},
     .results = {"n=36-37, k=3-1001: not tested, no kernel for P below 2^64\n"},
     .more = [](const fs::path& dir, const ProcessResult&) {
         const std::string records = readFile(dir / "results.jsonl");
         EXPECT_TRUE(records.starts_with("{\"line\":\"FermatFactor=36,37,3,1001\",\"exponents\":[],"
                                         "\"factors\":[],\"status\":\"no kernel\"}\n{\"line\":\"FermatFactor=127,127,3,9\""))
             << records;
         EXPECT_NE(records.find("\"factors\":[{\"factor\":\"5*2^127+1\",\"m\":125}],\"status\":\"complete\"}\n"), std::string::npos)
             << records;
     }},
    // Work units for other machines: printed, and nothing read or written.
    {.name = "CutPrintsWorkUnits", .worktodo = "FermatFactor=127,127,3,9\n", .args = "--cut 3 FermatFactor=32,33,4294967000,4294968000",
     .exitCode = 0,
     .out = {{"FermatFactor=32,32,4294967296,4294967648\nFermatFactor=32,32,4294967649,4294968000\n"
              "FermatFactor=33,33,4294967000,4294967500\nFermatFactor=33,33,4294967501,4294968000\n", kWhole}},
     .err = {{"n=32-32, k=4294967000-4294967295: not tested, no kernel for P below 2^64\n", kWhole}},
     .more = [](const fs::path& dir, const ProcessResult&) {
         EXPECT_EQ(readFile(dir / "worktodo.txt"), "FermatFactor=127,127,3,9\n");
         EXPECT_FALSE(fs::exists(dir / "results.txt"));
     }},
    {.name = "CutRefusesALineItWouldNotRun", .args = "--cut 3 36,35,5,7", .exitCode = 2, .out = {{"", kWhole}},
     .err = {"kalvenor: '36,35,5,7' is not an assignment line"}},
    {.name = "CutNamesTheFieldThatIsNoNumber", .args = "--cut 3 Foo=36,36,3,100", .exitCode = 2, .out = {{"", kWhole}},
     .err = {"\nThe starting value of n (nStart) is missing or not a number.\n"}},
    // Up to 2^64-1 at n = 607: the upper level of the last window runs too.
    {.name = "TopWindowRunsBothLevels", .worktodo = "FermatFactor=607,607,8589934401,8589934801\n",
     .out = {"GPU kernel                kalvenor640bit_n576_607\n", "GPU kernel                kalvenor672bit_n576_607\n"},
     .results = {{"Range is complete.", 2}}},
    // A console that went away (`| head -c1`) costs no work: the run goes on with its files.
    {.name = "ConsoleReaderGoneMidRun", .worktodo = "FermatFactor=127,127,3,2001\n", .output = Child::Output::ReaderGone,
     .factors = {kF127}, .results = {"Range is complete. Found 1 factor(s)."}},
    // `kalvenor >&-`: the console text must not go into the first file opened.
    {.name = "ClosedStandardOutput", .worktodo = "FermatFactor=127,127,3,2001\n", .output = Child::Output::Closed,
     .factors = {kF127}, .results = {"Range is complete. Found 1 factor(s)."},
     .more = [](const fs::path& dir, const ProcessResult&) {
         EXPECT_TRUE(readFile(dir / "kalvenor.lock").starts_with("pid ")) << readFile(dir / "kalvenor.lock");
         EXPECT_EQ(countOf(readFile(dir / "kalvenor.lock"), "\n"), 1) << readFile(dir / "kalvenor.lock");
     }},
    {.name = "SelftestPassesOnTheHostDevice", .worktodo = "FermatFactor=36,36,25709300001,25709340001\n",
     .args = "--device cpu --selftest", .timeoutSeconds = 600, .exitCode = 0,
     .out = {"none: the host device was requested", "Self-test passed: 36 of 36 kernels"}},
};

class EndToEnd : public ::testing::TestWithParam<RunCase> {};

TEST_P(EndToEnd, ShowsAndLeavesWhatItShould) { expectRun(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Runs, EndToEnd, ::testing::ValuesIn(kRuns), kCaseName);


// The GPU sieve (its code on the host device) and the host sieve, at the same
// depth, test the same candidates in every window: the same count for every
// exponent and the same factors.
TEST(EndToEnd, BothSievesTestTheSameCandidatesInEveryWindow) {
    std::string lines;
    for (uint32_t n = 36; n < 608; n += 32)  // P just above 2^(n+28), the lower level of n's window
        lines += "FermatFactor=" + std::to_string(n) + "," + std::to_string(n) + ",268435457,268475457\n";
    lines += "FermatFactor=127,127,3,40001\nFermatFactor=607,607,18446744073709511615,18446744073709551615\n";
    std::string tested[2], factors[2];
    const char* sieves[2] = {"gpu", "host"};
    for (int i = 0; i < 2; ++i) {
        ScratchDir dir(false);
        writeFile(dir / "worktodo.txt", lines);
        const ProcessResult run = runKalvenor(dir.path(), std::string("--device cpu --sieve-primes 5000 --sieve ") + sieves[i], 600);
        ASSERT_EQ(run.exitCode, 6) << run.out << run.err;
        EXPECT_EQ(countOf(run.out, std::string("sieve on                  ") + (i == 0 ? "GPU" : "host")), 20);
        EXPECT_EQ(countOf(run.out, "prime count               5000\n"), 20);
        const std::string results = readFile(dir / "results.txt");
        const std::regex summary("n=[0-9]+: tested [0-9]+ of [0-9]+ ");
        for (auto it = std::sregex_iterator(results.begin(), results.end(), summary); it != std::sregex_iterator(); ++it)
            tested[i] += it->str() + "\n";
        const std::string found = readFile(dir / "factors.txt");  // without the time stamps
        const std::regex factor("!!! Found factor [^!]* !!!");
        for (auto it = std::sregex_iterator(found.begin(), found.end(), factor); it != std::sregex_iterator(); ++it)
            factors[i] += it->str() + "\n";
    }
    EXPECT_EQ(countOf(tested[0], "\n"), 20);
    EXPECT_EQ(tested[0], tested[1]);
    EXPECT_EQ(countOf(factors[0], kF127), 1);
    EXPECT_EQ(factors[0], factors[1]);
}

}  // namespace
}  // namespace kalvenor::testing
