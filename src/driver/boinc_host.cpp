#include "driver/boinc_host.h"

#include <boinc/app_ipc.h>
#include <boinc/boinc_api.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "driver/exit_code.h"
#include "workfiles/assignment_line.h"
#include "workfiles/work_file_text.h"

namespace kalvenor {

namespace {

// Long enough for another program to give the GPU (or its memory) back,
// short next to a unit's hours.
constexpr int kRetrySeconds = 300;

// Why `line` of the work file cannot run, or "" when it can or is blank:
// the reasons the assignment loop drops a line for.
std::string refusal(std::string_view line) {
    if (visibleLength(line) > kLineLimit) return "longer than any assignment (more than 98 characters)";
    const LineVerdict verdict = checkAssignmentLine(line);
    if (verdict.code == AssignmentStatus::NoKeyword) return "it does not begin with FermatFactor= (case-sensitive)";
    if (verdict.code != AssignmentStatus::BadValues) return "";
    std::string why = verdict.message != nullptr ? verdict.message : "values out of range";
    std::erase(why, '\n');
    return why;
}

bool holdsRecord(const std::string& records) {
    const std::optional<std::string> text = readWholeFile(records);
    return text && (text->starts_with('{') || text->find("\n{") != std::string::npos);
}

}  // namespace

BoincHost::BoincHost() {
    BOINC_OPTIONS options;
    boinc_options_defaults(options);
    // A GPU application: the feeding thread must not wait behind the
    // client's idle-priority work.
    options.normal_thread_priority = 1;
    options.multi_thread = 1;  // the sieve and the host device have workers
    const int status = boinc_init_options(&options);
    if (status != 0) {
        std::fprintf(stderr, "kalvenor: the BOINC library did not start (%d)\n", status);
        boinc_finish(status);
    }
    standalone_ = boinc_is_standalone() != 0;
    if (standalone_) return;
    // What the client gave this task, read once: it does not change during the run.
    APP_INIT_DATA data;
    boinc_get_init_data(data);
    if (data.gpu_device_num >= 0) assignedDevice_ = data.gpu_device_num;
    // A multi-threaded plan class reserves this many; anything else runs on one.
    cpuLimit_ = data.ncpus >= 1 ? static_cast<unsigned>(data.ncpus) : 1u;
}

std::string BoincHost::resolve(const char* logical) {
    std::string physical;
    if (boinc_resolve_filename_s(logical, physical) != 0) return logical;
    return physical;
}

std::optional<int> BoincHost::assignedDevice() { return assignedDevice_; }

bool BoincHost::timeToCheckpoint(bool minutePassed) {
    // Standalone, the library's default period (five minutes) would only
    // lose work; the program's own minute stays.
    if (standalone_) return minutePassed;
    inCheckpoint_ = boinc_time_to_checkpoint() != 0;
    return inCheckpoint_;
}

void BoincHost::checkpointWritten() {
    if (!inCheckpoint_) return;
    boinc_checkpoint_completed();
    inCheckpoint_ = false;
}

void BoincHost::fractionDone(double fraction) { boinc_fraction_done(fraction); }

bool BoincHost::suspended() { return boinc_status.suspended != 0; }

std::optional<unsigned> BoincHost::cpuLimit() { return cpuLimit_; }

std::string BoincHost::description() {
    return standalone_ ? "BOINC application, standalone (no client)" : "BOINC application, run by the client";
}

std::optional<ExitCode> BoincHost::settledUnit(const WorkPaths& paths) {
    const std::optional<std::string> file = readWorkFile(paths.work);
    if (!file) return ExitCode::Stopped;  // said why
    std::string_view text = std::string_view(*file).substr(byteOrderMarkLength(*file));
    bool assignments = false;
    while (!text.empty()) {
        const std::string_view line = firstLine(text);
        text.remove_prefix(line.size());
        const int shown = static_cast<int>(std::min<size_t>(visibleLength(line), kLineLimit));
        if (const std::string why = refusal(line); !why.empty()) {
            std::fprintf(stderr, "kalvenor: the unit fails: its line '%.*s' cannot run: %s\n", shown, line.data(),
                         why.c_str());
            return ExitCode::Stopped;
        }
        assignments = assignments || checkAssignmentLine(line).code == AssignmentStatus::Ready;
    }
    if (assignments) return std::nullopt;
    // Its lines all ran before the task was stopped and started again.
    if (holdsRecord(paths.records)) {
        std::printf("\nNo more assignments found in worktodo file. Work is done.\n");
        return ExitCode::WorkDone;
    }
    std::fprintf(stderr, "kalvenor: the unit fails: worktodo.txt holds no assignment and results.jsonl no record\n");
    return ExitCode::Stopped;
}

ExitCode BoincHost::judgedEnd(ExitCode code, const WorkPaths& paths) {
    if (code != ExitCode::WorkDone || holdsRecord(paths.records)) return code;
    std::fprintf(stderr, "kalvenor: the unit fails: its work file is done but results.jsonl holds no record\n");
    return ExitCode::Stopped;
}

void finishUnderBoinc(int exitCode) {
    std::fflush(stdout);
    if (exitCode > 128 && exitCode < 128 + 32) {
        // boinc_temporary_exit leaves with 0, which only a client reads right;
        // by hand the stop keeps its own exit code.
        if (!boinc_is_standalone()) boinc_temporary_exit(0, "stopped by a signal; continues from the checkpoint");
        std::exit(exitCode);
    }
    const auto code = static_cast<ExitCode>(exitCode);
    if (mayPass(code) && !boinc_is_standalone()) {
        std::fprintf(stderr, "kalvenor: a device fault that may pass (exit code %d): the client starts the task again "
                             "in %d s, from its checkpoint\n", exitCode, kRetrySeconds);
        std::fflush(stderr);
        boinc_temporary_exit(kRetrySeconds, code == ExitCode::DeviceUnusable ? "the GPU cannot be used now"
                                                                             : "a device runtime call failed");
        std::exit(exitCode);
    }
    boinc_finish(code == ExitCode::WorkDone ? 0 : exitCode);
    std::exit(exitCode);  // boinc_finish does not return; this keeps [[noreturn]] true
}

}  // namespace kalvenor
