#include "OutcomePrinter.h"

#include <cstdio>

#include "ExitCodes.h"

namespace kestrup_host {
namespace {

const int kBarWidth = 30;

std::string withCode(const std::string& text, int32_t code) {
    return text + " (code " + std::to_string(code) + ")";
}

}  // namespace

std::string statusText(int32_t code) {
    switch (code) {
    case 791:
        return "No update is available: the installed version is the newest.";
    case 792:
        return "An update is available.";
    case 793:
        return "The update is being downloaded.";
    case 794:
        return "The update has been downloaded and is ready to install.";
    case 795:
        return "The installer of the update has been started; the new version is recorded at the next start.";
    case 790:
        return withCode("The update workflow is in a state that this program does not know", code) + ".";
    default:
        return withCode("The update component answered with an unknown status", code) + ".";
    }
}

int statusExitCode(int32_t code) {
    if (code == 791) return ExitNoUpdate;
    if (code >= 792 && code <= 795) return ExitOk;
    return ExitCheckFailed;
}

std::string errorText(Step step, int32_t code) {
    switch (code) {
    case 769:
        return withCode("The update feed offers the update without any download location", code) + ".";
    case 773:
        return withCode("The downloaded file did not match the SHA-256 digest in the update feed and was deleted; "
                        "every retry is used up",
                        code) +
               ".";
    case 778:
        return withCode("The installer could not be started", code) + ".";
    case 781:
        if (step == Step::Install) {
            return withCode("The installer was already started as often as Kestrup/InstallRetries allows, or its "
                            "saved details could not be read; the update was abandoned",
                            code) +
                   ". Run the command again to start over.";
        }
        if (step == Step::Download) {
            return withCode("The saved details of the installer file could not be read; the update was reset", code) +
                   ". Run the command again.";
        }
        return withCode("The update data saved by an earlier run could not be read; the update was reset", code) +
               ". Run the command again.";
    case 796:
        return withCode("The backend did not answer the update check within 30 seconds", code) + ".";
    case 797:
        return withCode("The update component rejected the request as malformed", code) + ".";
    case 798:
        if (step == Step::Install) {
            return withCode("The update is not ready to install, or an update of another application is under way",
                            code) +
                   ".";
        }
        return withCode("The download was not started: another step of the update is under way, or an update of "
                        "another application",
                        code) +
               ".";
    case 799:
        return withCode("The download failed on every mirror and every retry is used up", code) + ".";
    case 801:
        return withCode("The application is not in the registry", code) + ".";
    case 802:
        return withCode("The backend could not provide an update manifest", code) + ".";
    default:
        return withCode("The update component reported an error", code) + ".";
    }
}

int failureExitCode(Step step) {
    switch (step) {
    case Step::Check:
        return ExitCheckFailed;
    case Step::Download:
        return ExitDownloadFailed;
    case Step::Install:
        return ExitInstallFailed;
    }
    return ExitCheckFailed;
}

std::string formatBytes(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof(units) / sizeof(units[0])) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f %s", value, units[unit]);
    return text;
}

std::string renderProgress(uint64_t currentBytes, uint64_t totalBytes, uint64_t bytesPerSecond) {
    const std::string rate = bytesPerSecond > 0 ? "  " + formatBytes(bytesPerSecond) + "/s" : std::string();
    if (totalBytes == 0) return formatBytes(currentBytes) + " received" + rate;

    const uint64_t shown = currentBytes < totalBytes ? currentBytes : totalBytes;
    const int percent = static_cast<int>(shown * 100 / totalBytes);
    const int filled = static_cast<int>(shown * kBarWidth / totalBytes);
    std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "]";
    char percentText[8];
    std::snprintf(percentText, sizeof(percentText), "%3d%%", percent);
    return bar + " " + percentText + "  " + formatBytes(currentBytes) + " of " + formatBytes(totalBytes) + rate;
}

OutcomePrinter::OutcomePrinter(std::ostream& out, std::ostream& err, bool terminal)
    : m_out(out), m_err(err), m_terminal(terminal) {}

void OutcomePrinter::say(const std::string& line) {
    if (m_quiet) return;
    endProgress();
    m_out << line << std::endl;
}

void OutcomePrinter::problem(const std::string& line) {
    endProgress();
    m_out.flush();
    m_err << "kestrup-host: " << line << std::endl;
}

void OutcomePrinter::progress(uint64_t currentBytes, uint64_t totalBytes, uint64_t bytesPerSecond) {
    // The first report of a transfer often knows nothing yet.
    if (m_quiet || (currentBytes == 0 && totalBytes == 0)) return;
    const std::string line = renderProgress(currentBytes, totalBytes, bytesPerSecond);
    if (m_terminal) {
        // Redraws the line; the spaces wipe the end of a longer earlier line.
        m_err << '\r' << line << "    " << std::flush;
        m_barShown = true;
        return;
    }
    // A line per tenth of the file; without a known size, one per 8 MiB.
    const uint64_t shown = totalBytes > 0 && currentBytes > totalBytes ? totalBytes : currentBytes;
    const int tenth = totalBytes > 0 ? static_cast<int>(shown * 10 / totalBytes) : static_cast<int>(shown >> 23);
    if (tenth == m_lastTenth) return;
    m_lastTenth = tenth;
    m_err << "  " << line << std::endl;
}

void OutcomePrinter::endProgress() {
    if (m_barShown) m_err << std::endl;
    m_barShown = false;
    m_lastTenth = -1;
}

}  // namespace kestrup_host
