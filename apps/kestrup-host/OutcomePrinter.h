#pragma once
// Plain-language output of kestrup-host: the road of an update on stdout, problems
// on stderr, and a progress bar while a file downloads.
#include <cstdint>
#include <ostream>
#include <string>

namespace kestrup_host {

// The step a reply belongs to; it decides the wording of an error and its exit code.
enum class Step { Check, Download, Install };

// What a status code of "GetUpdateStatus" (790..795) means.
std::string statusText(int32_t code);
// The exit code for a status code: 2 for "no update", 0 for an update available or
// under way, 3 for a state the component does not know.
int statusExitCode(int32_t code);
// What an "OperationError" code or a failed download's status (773, 799) means at
// a step. Unknown codes are named with their number.
std::string errorText(Step step, int32_t code);
// The exit code of a failure at a step (3, 4 or 5).
int failureExitCode(Step step);

// "512 B", "1.5 KiB", "23.0 MiB".
std::string formatBytes(uint64_t bytes);
// One line of the progress bar, e.g. "[##########----------]  50%  1.0 MiB of 2.0 MiB  512.0 KiB/s";
// without a known total: "1.0 MiB received  512.0 KiB/s".
std::string renderProgress(uint64_t currentBytes, uint64_t totalBytes, uint64_t bytesPerSecond);

// Used by one thread at a time.
class OutcomePrinter {
public:
    // `terminal`: `err` is a terminal, so the progress bar redraws one line;
    // otherwise progress is written as a line at every tenth of the file.
    OutcomePrinter(std::ostream& out, std::ostream& err, bool terminal);

    // Quiet: the road's lines and the progress are dropped (stdout is for JSON);
    // problems still go to stderr.
    void setQuiet(bool quiet) { m_quiet = quiet; }

    void say(const std::string& line);      // a line of the road (stdout)
    void problem(const std::string& line);  // "kestrup-host: " + line (stderr)
    void progress(uint64_t currentBytes, uint64_t totalBytes, uint64_t bytesPerSecond);
    // Ends a progress bar that is on screen. Called by say and problem too.
    void endProgress();

private:
    std::ostream& m_out;
    std::ostream& m_err;
    const bool m_terminal;
    bool m_barShown = false;    // a redrawn bar stands on the current line
    int m_lastTenth = -1;       // the last tenth written without a terminal
    bool m_quiet = false;
};

}  // namespace kestrup_host
