#include "driver/options.h"

#include <gtest/gtest.h>

namespace kalvenor {
namespace {

struct OptionsCase {
    std::vector<std::string> arguments;
    bool help, version, selftest, forceHost;
    int ordinal;
    const char* errorPart;  // "" when the line is fine
};

TEST(Options, ParsesEveryOptionAndRejectsTheRest) {
    const OptionsCase cases[] = {
        {{}, false, false, false, false, 0, ""},
        {{"--help"}, true, false, false, false, 0, ""},
        {{"-h"}, true, false, false, false, 0, ""},
        {{"--version"}, false, true, false, false, 0, ""},
        {{"--selftest"}, false, false, true, false, 0, ""},
        {{"--device", "cpu"}, false, false, false, true, 0, ""},
        {{"--device=cpu", "--selftest"}, false, false, true, true, 0, ""},
        {{"--device", "3"}, false, false, false, false, 3, ""},
        {{"--device=1"}, false, false, false, false, 1, ""},
        {{"--device"}, false, false, false, false, 0, "needs a value"},
        {{"--device", "gpu"}, false, false, false, false, 0, "bad value 'gpu' for option '--device'"},
        {{"--device", "-1"}, false, false, false, false, 0, "bad value '-1'"},
        {{"--device", "99999"}, false, false, false, false, 0, "bad value '99999'"},
        {{"--frobnicate"}, false, false, false, false, 0, "unknown option '--frobnicate'"},
        {{"worktodo.txt"}, false, false, false, false, 0, "unknown option 'worktodo.txt'"},
        {{"--selftest", "--bogus"}, false, false, true, false, 0, "unknown option '--bogus'"},
    };
    for (const OptionsCase& c : cases) {
        std::string line;
        for (const std::string& a : c.arguments) line += a + " ";
        SCOPED_TRACE(line);
        const Options o = parseOptions(c.arguments);
        if (*c.errorPart) {
            EXPECT_NE(o.error.find(c.errorPart), std::string::npos) << o.error;
            continue;
        }
        EXPECT_EQ(o.error, "");
        EXPECT_EQ(o.help, c.help);
        EXPECT_EQ(o.version, c.version);
        EXPECT_EQ(o.selftest, c.selftest);
        EXPECT_EQ(o.forceHost, c.forceHost);
        EXPECT_EQ(o.deviceOrdinal, c.ordinal);
    }
}

TEST(Options, UsageNamesEveryOptionFileAndExitCode) {
    const std::string usage = usageText();
    for (const char* part : {"--device N", "--device cpu", "--selftest", "--help", "--version", "worktodo.txt",
                             "results.txt", "factors.txt", "kalvenor.cpt", "  6 ", "  7 ", "  2 "})
        EXPECT_NE(usage.find(part), std::string::npos) << part;
}

}  // namespace
}  // namespace kalvenor
