#include "workfiles/checkpoint.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>

#include "arith/reference_powmod.h"
#include "common/text_format.h"
#include "workfiles/assignment_line.h"
#include "workfiles/file_replace.h"
#include "workfiles/log_files.h"
#include "workfiles/number_reading.h"
#include "workfiles/work_file_text.h"

namespace kalvenor {

namespace {

// The five values, and after them what readers of the five alone pass
// over: the line they belong to, the record's tallies and the checksums
// (the running one of nCurrent, when known, and those of the exponents
// done, as far as known), in hexadecimal.
std::string formatCheckpoint(const RunState& state, uint32_t nCurrent, uint64_t kCurrent, uint64_t kTested,
                             double seconds, std::optional<uint64_t> checksum) {
    // seconds comes from the old file and may be anything atof accepts.
    const std::string line = formatAssignment(state.line);
    std::string tested, sums, found;
    for (const ExponentCount& e : state.exponentsDone) {
        tested += formatText(" %" PRIu32 ":%" PRIu64, e.n, e.tested);
        if (e.checksum) sums += formatText(" %" PRIu32 ":%016" PRIx64, e.n, *e.checksum);
    }
    for (const FoundFactor& f : state.found) found += formatText(" %" PRIu32 ":%" PRIu64, f.n, f.k);
    // Taken up from an older version's file, the line knows the exponents
    // done only from here: said, so that no other gap passes for this one.
    const uint32_t firstKnown = state.exponentsDone.empty() ? nCurrent : state.exponentsDone.front().n;
    return formatText("nCurrent=%" PRIu32 "\nkCurrent=%" PRIu64 "\nkTested =%" PRIu64
                      "\nseconds =%.2f\nfactors =%d\nline    =%stested  =%s\nfound   =%s\n",
                      nCurrent, kCurrent, kTested, seconds, state.factors, line.c_str(), tested.c_str() + !tested.empty(),
                      found.c_str() + !found.empty()) +
           (checksum ? formatText("checksum=%016" PRIx64 "\n", *checksum) : std::string()) +
           formatText("sums    =%s\n", sums.c_str() + !sums.empty()) +
           (state.sievePrimes ? formatText("sieve   =%" PRIu32 "\n", *state.sievePrimes) : std::string()) +
           (firstKnown > state.nStart ? formatText("from    =%" PRIu32 "\n", firstKnown) : std::string());
}

// "36:1234 37:99": pairs of a 32-bit number and a 64-bit one, the second
// decimal or (`hex`) 16 hexadecimal digits, or nothing when any pair is not one.
std::optional<std::vector<std::pair<uint32_t, uint64_t>>> readPairs(std::string_view text, bool hex = false) {
    std::vector<std::pair<uint32_t, uint64_t>> pairs;
    while (!text.empty()) {
        const size_t colon = text.find(':');
        const size_t end = std::min(text.find(' '), text.size());
        if (colon == std::string_view::npos || colon > end) return std::nullopt;
        const std::string first(text.substr(0, colon)), second(text.substr(colon + 1, end - colon - 1));
        const bool digits = !first.empty() && !second.empty() && first.find_first_not_of("0123456789") == std::string::npos &&
                            second.find_first_not_of(hex ? "0123456789abcdef" : "0123456789") == std::string::npos &&
                            (!hex || second.size() == 16);
        if (!digits) return std::nullopt;
        const NumberRead n = readUnsigned(first.c_str(), 10, 32), value = readUnsigned(second.c_str(), hex ? 16 : 10, 64);
        if (n.overflow || value.overflow) return std::nullopt;
        pairs.emplace_back(static_cast<uint32_t>(n.value), value.value);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return pairs;
}

// What a checkpoint holds, as read.
struct CheckpointValues {
    std::optional<uint32_t> nCurrent;
    std::optional<uint64_t> kCurrent, kTested, factors;
    std::optional<double> seconds;
    std::optional<uint64_t> sieve, from;
    std::optional<std::string> line, tested, found, checksum, sums;
    bool sound = true;  // no negative value, which no run writes
};

// Takes one line of the file when it carries one of the keys: exactly
// eight characters, then "="; a later key wins.
void readCheckpointLine(std::string_view line, CheckpointValues& values) {
    if (line.size() < 9 || line[8] != '=') return;
    const std::string_view key = line.substr(0, 8);
    const std::string value(line.substr(9));  // NUL-terminated for the conversions
    const auto number = [&](unsigned bits) {
        const NumberRead read = readUnsigned(value.c_str(), 0, bits);
        values.sound &= !read.negative;
        return read.value;
    };
    if (key == "nCurrent") values.nCurrent = static_cast<uint32_t>(number(32));
    else if (key == "kCurrent") values.kCurrent = number(64);
    else if (key == "kTested ") values.kTested = number(64);
    else if (key == "seconds ") values.seconds = std::atof(value.c_str());
    else if (key == "factors ") values.factors = number(64);
    else if (key == "line    ") values.line = value.substr(0, visibleLength(value));
    else if (key == "tested  ") values.tested = value.substr(0, visibleLength(value));
    else if (key == "found   ") values.found = value.substr(0, visibleLength(value));
    else if (key == "checksum") values.checksum = value.substr(0, visibleLength(value));
    else if (key == "sums    ") values.sums = value.substr(0, visibleLength(value));
    else if (key == "sieve   ") values.sieve = number(64);
    else if (key == "from    ") values.from = number(32);
}

// The running checksum as the file writes it, 16 hexadecimal digits.
std::optional<uint64_t> readChecksum(const std::string& text) {
    if (text.size() != 16 || text.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
    return readUnsigned(text.c_str(), 16, 64).value;
}

// The valid assignment lines of worktodo.txt, or nothing when it cannot be read.
std::optional<std::vector<Assignment>> linesOf(const std::string& workPath) {
    const std::optional<std::string> file = readWorkFile(workPath);
    if (!file) return std::nullopt;
    std::vector<Assignment> lines;
    const std::string_view text = std::string_view(*file).substr(byteOrderMarkLength(*file));
    for (std::string_view rest = text; !rest.empty(); rest.remove_prefix(firstLine(rest).size())) {
        const LineVerdict verdict = checkAssignmentLine(firstLine(rest));
        if (verdict.code == AssignmentStatus::Ready) lines.push_back(verdict.values);
    }
    return lines;
}

bool holds(const std::vector<Assignment>& lines, const Assignment& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The line a kept checkpoint's name stands for, or none when the name is not one of ours.
std::optional<Assignment> keptLineOf(const std::string& name) {
    unsigned nStart = 0, nEnd = 0;
    unsigned long long kStart = 0, kEnd = 0;
    int end = 0;
    if (std::sscanf(name.c_str(), "kalvenor-%u-%u-%llu-%llu.cpt%n", &nStart, &nEnd, &kStart, &kEnd, &end) != 4 ||
        static_cast<size_t>(end) != name.size())
        return std::nullopt;
    const Assignment line{nStart, nEnd, kStart, kEnd};
    return keptCheckpointName(line) == name ? std::optional(line) : std::nullopt;  // one spelling only
}

void dropKeptCheckpoints(const WorkPaths& paths, const std::vector<Assignment>& lines) {
    const std::filesystem::path where = std::filesystem::path(paths.resolve(keptCheckpointName({}))).parent_path();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(where.empty() ? "." : where, error)) {
        const std::string name = entry.path().filename().string();
        const std::optional<Assignment> line = keptLineOf(name);
        if (!line || holds(lines, *line)) continue;
        if (std::remove(entry.path().c_str()) == 0) {
            const std::string text = formatAssignment(*line);
            std::printf("\nRemoved %s, the checkpoint kept for %.*s, a line no longer in worktodo.txt.\n", name.c_str(),
                        static_cast<int>(text.size() - 1), text.c_str());
        }
    }
}

// Moves kalvenor.cpt of `owner`, a line further down worktodo.txt, to the
// file kept for it: put behind an urgent line, its progress waits there.
bool keepForLater(const RunState& state, const Assignment& owner) {
    const std::string name = keptCheckpointName(owner), kept = state.paths.resolve(name);
    if (std::rename(state.paths.checkpoint.c_str(), kept.c_str()) != 0) {
        std::fflush(stdout);
        std::perror(("\nCan't keep the checkpoint kalvenor.cpt of a line further down as " + name).c_str());
        return false;
    }
    const std::string text = formatAssignment(owner);
    std::printf("\nKept the checkpoint of %.*s, further down in worktodo.txt, as %s.\n", static_cast<int>(text.size() - 1),
                text.c_str(), name.c_str());
    return true;
}

AssignmentStatus unwritten(const char* why = nullptr) {
    if (why) std::printf("\nThe checkpoint holds a value that no run writes (%s).\n", why);
    else std::printf("\nThe checkpoint holds a value that no run writes.\n");
    return AssignmentStatus::CheckpointMismatch;
}

// Takes up the record's tallies of a checkpoint whose position has passed
// its checks; `oddInRange` is the number of odd k of the line.
AssignmentStatus restoreTallies(RunState& state, const CheckpointValues& values, bool fileRead, uint64_t oddInRange) {
    // The record's tallies: the exponents before nCurrent once each, in
    // order, and factors inside the range up to the walk position, each
    // one a factor. A run taken up from a file of an older version, which
    // kept neither, knows only the exponents and factors since: those end
    // at nCurrent - 1, and the factors are no more than the count. A file
    // that lists exponents lists every one from nStart, or from the one
    // its `from` names.
    state.exponentsDone.clear();
    state.found.clear();
    bool tallied = true;
    if (values.tested) {
        const auto pairs = readPairs(*values.tested);
        tallied = pairs && pairs->size() <= state.nCurrent - state.nStart;
        const uint32_t first = state.nCurrent - static_cast<uint32_t>(pairs ? pairs->size() : 0);
        for (size_t i = 0; tallied && i < pairs->size(); ++i) {
            tallied = (*pairs)[i].first == first + i && (*pairs)[i].second <= oddInRange;
            state.exponentsDone.push_back({(*pairs)[i].first, (*pairs)[i].second, std::nullopt});
        }
        const bool fromFits = !values.from || (*values.from > state.nStart && *values.from <= state.nCurrent);
        if (tallied && (first != (values.from ? *values.from : state.nStart) || !fromFits))
            return unwritten("an exponent missing from the tested ones");
    }
    // Checksums: of the exponents done, those the file names; of nCurrent,
    // the running one, or 0 before its first batch. A file of an older
    // version keeps none: what it leaves unknown stays unknown.
    if (values.sums) {
        const auto pairs = readPairs(*values.sums, true);
        tallied = tallied && pairs;
        for (size_t i = 0; tallied && i < pairs->size(); ++i) {
            const auto done = std::find_if(state.exponentsDone.begin(), state.exponentsDone.end(),
                                           [&](const ExponentCount& e) { return e.n == (*pairs)[i].first; });
            tallied = done != state.exponentsDone.end();
            if (tallied) done->checksum = (*pairs)[i].second;
        }
    }
    state.checksum = uint64_t{0};
    if (values.checksum) {
        state.checksum = readChecksum(*values.checksum);
        tallied = tallied && state.checksum.has_value();
    } else if (fileRead && (state.kTested != 0 || state.kCurrent != state.kStart)) {
        state.checksum = std::nullopt;
    }
    if (values.found) {
        const auto pairs = readPairs(*values.found);
        tallied = tallied && pairs && pairs->size() <= values.factors.value_or(0);
        for (size_t i = 0; tallied && i < pairs->size(); ++i) {
            const auto [n, k] = (*pairs)[i];
            tallied = n >= state.nStart && k % 2 == 1 && k >= state.kStart && k <= state.kEnd &&
                      (n < state.nCurrent || (n == state.nCurrent && k < state.kCurrent));
            state.found.push_back({n, k});
            // A factor the record would name is tested again, from the
            // arithmetic alone.
            if (tallied && !referenceTest(k, n))
                return unwritten(formatText("%" PRIu64 "*2^%" PRIu32 "+1 is no factor", k, n).c_str());
        }
    }
    return tallied ? AssignmentStatus::Ready : unwritten();
}

}  // namespace

void dropKeptCheckpointsOfLinesGone(const WorkPaths& paths) {
    if (const std::optional<std::vector<Assignment>> lines = linesOf(paths.work)) dropKeptCheckpoints(paths, *lines);
}

std::string keptCheckpointName(const Assignment& line) {
    return formatText("kalvenor-%" PRIu32 "-%" PRIu32 "-%" PRIu64 "-%" PRIu64 ".cpt", line.nStart, line.nEnd, line.kStart,
                      line.kEnd);
}

void writeCheckpoint(RunState& state, uint64_t k) {
    const double now = elapsedMilliseconds();
    state.seconds += (now - state.clockMark) / 1000.0;
    state.clockMark = now;

    const double done = static_cast<double>(k - state.kStart);
    state.rate = state.seconds > 0.0 ? done / state.seconds : 0.0;
    const double percentage =
        state.numbers != 0 ? done * 100.0 / static_cast<double>(state.numbers) : 0.0;

    // A checkpoint that cannot be written costs only the checkpoint; the
    // failure has been said, and the run goes on.
    (void)replaceFile(state.paths.checkpoint,
                      formatCheckpoint(state, state.nCurrent, k, state.kTested, state.seconds, state.checksum));

    std::printf("\nn=%" PRIu32 ": k to %" PRIu64 " (%5.2f%% complete): rate=%.0f/sec",
                state.nCurrent, k, percentage, state.rate);
    std::fflush(stdout);
}

void advanceCheckpoint(const RunState& state, bool create) {
    struct stat info {};
    if (!create && ::stat(state.paths.checkpoint.c_str(), &info) != 0) return;  // none to bring forward
    (void)replaceFile(state.paths.checkpoint, formatCheckpoint(state, state.nCurrent + 1, state.kStart, 0, 0.0, uint64_t{0}));
}

AssignmentStatus restoreCheckpoint(RunState& state) {
    const std::optional<std::vector<Assignment>> lines = linesOf(state.paths.work);
    if (lines) dropKeptCheckpoints(state.paths, *lines);
    std::optional<std::string> bytes = readWholeFile(state.paths.checkpoint);
    if (!bytes && errno == ENOENT) {
        // A checkpoint kept while other lines ran first comes back.
        const std::string name = keptCheckpointName(state.line), kept = state.paths.resolve(name);
        if (std::rename(kept.c_str(), state.paths.checkpoint.c_str()) == 0) {
            std::printf("\nTook up the checkpoint kept for this line in %s.\n", name.c_str());
            bytes = readWholeFile(state.paths.checkpoint);
        } else {
            errno = ENOENT;
        }
    }
    if (!bytes && errno != ENOENT) {
        // It may hold days of work: neither taken nor deleted.
        std::fflush(stdout);
        std::perror("\nCan't read the checkpoint file kalvenor.cpt");
        return AssignmentStatus::CheckpointUnreadable;
    }
    CheckpointValues values;
    const std::string content = bytes.value_or("");
    for (std::string_view text = content; !text.empty(); text.remove_prefix(firstLine(text).size()))
        readCheckpointLine(firstLine(text), values);
    state.nCurrent = bytes ? values.nCurrent.value_or(0) : state.nStart;
    state.kCurrent = bytes ? values.kCurrent.value_or(0) : state.kStart;
    state.kTested = values.kTested.value_or(0);
    state.seconds = values.seconds.value_or(0.0);
    state.factors = static_cast<int32_t>(values.factors.value_or(0));

    // A checkpoint of another line would skip part of this one. One of a
    // line further down is kept for it; one of a line gone is dropped.
    // Files from before the line was written down carry none and are judged
    // as ever; one that keeps the record's tallies without it comes from no run.
    if (values.line) {
        const LineVerdict owner = checkAssignmentLine(*values.line);
        if (!(owner.values == state.line)) {
            if (owner.code == AssignmentStatus::Ready && lines && holds(*lines, owner.values)) {
                if (!keepForLater(state, owner.values)) return AssignmentStatus::CheckpointUnreadable;
                return restoreCheckpoint(state);
            }
            std::printf("\nThe checkpoint belongs to another line (%s).\n", values.line->c_str());
            return AssignmentStatus::CheckpointMismatch;
        }
    } else if (values.tested || values.found || values.sums || values.checksum || values.sieve || values.from) {
        return unwritten("the record's tallies without the line they belong to");
    }
    const bool nInside = state.nCurrent >= state.nStart && state.nCurrent <= state.nEnd;
    // advanceCheckpoint leaves this behind once the last exponent is done.
    const bool rangeFinished = state.nCurrent == state.nEnd + 1 && state.kCurrent == state.kStart;
    // A missing or unreadable nCurrent line reads as 0. It is refused like any
    // other exponent outside the range: let through, it would stop every
    // start at "No kernel for n < 32" until someone deleted the file.
    if (!nInside && !rangeFinished) {
        std::printf("\nThe current value for n (nCurrent) is outside of the range of n.\n");
        return AssignmentStatus::CheckpointMismatch;
    }
    // The sieve of older versions, which kept no tallies, stopped at the
    // first odd multiplier above kEnd: a checkpoint from the last batch of
    // an exponent says that exponent is done, so the next one starts; only
    // its summary is lost. This version never writes one past kEnd.
    const bool walkFinished =
        nInside && !values.tested && state.kCurrent > state.kEnd && state.kCurrent - state.kEnd <= 2;
    if ((state.kCurrent < state.kStart || state.kCurrent > state.kEnd) && !walkFinished) {
        std::printf("\nThe current value for k (kCurrent) is outside of the range of k.\n");
        return AssignmentStatus::CheckpointMismatch;
    }
    if (!values.sound || values.factors.value_or(0) > INT32_MAX || !std::isfinite(state.seconds) || state.seconds < 0 ||
        state.kCurrent % 2 == 0)
        return unwritten();
    // No exponent tests more multipliers than the odd ones its walk has passed.
    const uint64_t oddInRange = (state.kEnd - state.kStart) / 2 + 1;
    if (state.kTested > (walkFinished ? oddInRange : (state.kCurrent - state.kStart) / 2))
        return unwritten("more tested than the walk has passed");
    // The deepest sieve there is: every odd prime below 2^32.
    if (values.sieve && *values.sieve > 203280220) return unwritten("a sieve deeper than any");
    if (values.sieve) state.sievePrimes = static_cast<uint32_t>(*values.sieve);
    if (const AssignmentStatus tallies = restoreTallies(state, values, bytes.has_value(), oddInRange);
        tallies != AssignmentStatus::Ready)
        return tallies;
    if (walkFinished) {
        state.exponentsDone.push_back({state.nCurrent, state.kTested, state.checksum});
        state.nCurrent += 1;
        state.kCurrent = state.kStart;
        state.kTested = 0;
        state.checksum = 0;
        state.seconds = 0.0;
    }

    if (state.kCurrent == state.kStart && state.nCurrent == state.nStart) {
        const std::string line =
            formatText("Starting range: n=%" PRIu32 "-%" PRIu32 " and k=%" PRIu64 "-%" PRIu64 "\n",
                       state.nStart, state.nEnd, state.kStart, state.kEnd);
        std::printf("\n%s", line.c_str());
        appendToLog(state.paths.results, timeStamp() + line);
    } else {
        std::printf("\nContinue range: n=%" PRIu32 "-%" PRIu32 "(%" PRIu32 ") and k=%" PRIu64
                    "-%" PRIu64 "(%" PRIu64 ")\n",
                    state.nStart, state.nEnd, state.nCurrent, state.kStart, state.kEnd,
                    state.kCurrent);
    }
    return AssignmentStatus::Ready;
}

}  // namespace kalvenor
