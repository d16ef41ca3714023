#include "driver/cut_command.h"

#include <cinttypes>
#include <cstdio>

#include "arith/coverage.h"
#include "common/text_format.h"
#include "driver/launch_config.h"
#include "workfiles/assignment_line.h"
#include "workfiles/range_split.h"
#include "workfiles/work_units.h"

namespace kalvenor {

ExitCode printWorkUnits(const std::string& line, uint32_t count, bool costs) {
    const std::string text = line.rfind(kAssignmentKeyword, 0) == 0 ? line : kAssignmentKeyword + line;
    const LineVerdict verdict = checkAssignmentLine(text);
    if (verdict.code != AssignmentStatus::Ready) {
        std::fprintf(stderr, "kalvenor: '%s' is not an assignment line (FermatFactor=nStart,nEnd,kStart,kEnd)%s",
                     line.c_str(), verdict.message != nullptr ? verdict.message : "\n");
        return ExitCode::Usage;
    }
    const WorkUnits cut = cutIntoUnits(verdict.values, count);
    for (const Assignment& part : cut.untested) std::fputs(untestedMessage(part).c_str(), stderr);
    if (cut.units.size() < count)
        std::fprintf(stderr, "kalvenor: the line holds only %zu units' worth of candidates with a kernel\n",
                     cut.units.size());
    std::string out;
    for (const Assignment& unit : cut.units) {
        out += formatAssignment(unit);
        if (!costs) continue;
        out.back() = ' ';
        out += formatText("%.6g %" PRIu32 "\n", unitCost(unit),
                          hostLaunchRowFor(wordCountOf(unit.nStart, unit.kStart | 1)).primeCount);
    }
    std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? ExitCode::Success : ExitCode::WorkFileWriteFailed;
}

}  // namespace kalvenor
