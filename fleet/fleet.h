// The fleet's parts, tested in-process: its command line, what it keeps of
// each check's output and reads of its result, and what it says about its
// boxes (a line per box, the live table, the summary, JUnit XML, JSON).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boxes.h"

struct FleetOptions {
    const char* program = "quarvo-fleet"; // as invoked, for messages
    std::optional<std::string> channel;   // for boxes without one
    std::string boxesFile;                // "-" for the standard input; empty when not given
    long jobs = 0;                        // 0: all at once
    long timeout = 0;                     // 0: the check's own deadline
    bool reconnect = false;
    bool wait = false; // passed to every check
    std::string captureDir;
    std::string junit;
    std::string result;
    std::string suite = "quarvo-fleet";
    bool plain = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> ports; // boxes given by their ports alone
};

// A whole number from `low` to `high`, written in decimal and nothing else.
bool parseWholeNumber(const char* text, long low, long high, long* out);

// Reads the options: an empty string, or what is wrong in one printable line.
std::string options_parse(int argc, char** argv, FleetOptions* options);

// The last bytes a check printed: all the reports ever use of a check's
// output, so a box that floods its check costs no more than this.
class OutputTail {
public:
    explicit OutputTail(size_t capacity) : capacity_(capacity) {}
    void append(std::string_view bytes);
    // What is kept, from the start of a line when earlier bytes were let go.
    std::string text() const;
    uint64_t total() const { return total_; }

private:
    size_t capacity_;
    std::string kept_; // the last bytes, up to twice the capacity
    uint64_t total_ = 0;
};

// The members the fleet reads from the JSON object a check's result file
// holds, or nothing when it is not one with a string "outcome" (a result
// cut short, say). Members it does not know are skipped.
struct CheckReport {
    std::string outcome;
    std::optional<int> status;
    std::optional<std::string> currentChannel;          // as the box sent it (UTF-8)
    std::optional<std::string> currentChannelPrintable; // exact whatever the bytes, from a check that writes it
    std::vector<std::string> failures;                  // the failure lines printed
    int64_t elapsedMs = 0;
};
std::optional<CheckReport> checkResult_parse(std::string_view json);

// A box's outcome, as the fleet's exit status and JUnit see it, in the
// order of the JUnit elements (none, failure, error, skipped).
enum class BoxVerdict {
    Correct,           // passed
    AnsweredOtherwise, // a wrong channel or an error record: a JUnit failure
    NoAnswer,          // nothing decided, for whatever reason: a JUnit error
    Skipped,           // never started
};

// "correct"; "incorrect" and "box-error"; "skipped"; every other word.
BoxVerdict verdictOf(std::string_view outcome);
// Answered otherwise or gave no answer: shown first, and with its check's last lines.
inline bool isFailure(BoxVerdict v) { return v == BoxVerdict::AnsweredOtherwise || v == BoxVerdict::NoAnswer; }

// What the fleet knows of a box once it is done.
struct BoxEnd {
    std::string outcome; // the check's outcome word, or the fleet's own: skipped, start-failed, no-result
    BoxVerdict verdict = BoxVerdict::NoAnswer;
    std::optional<std::string> channelSeen; // in printable form
    int64_t elapsedMs = 0;
    std::string message;    // one printable line: the outcome and what the box reported
    std::string resultJson; // the box's object for --result, its name first
};

// A box whose check left a result; one without: `outcome` is the fleet's word, `status` the
// check's exit status if it ran, `detail` what the fleet knows.
BoxEnd boxEnd_fromResult(
    const BoxConfig& box, const CheckReport& report, std::string_view resultText, std::string_view output);
BoxEnd boxEnd_synthesized(const BoxConfig& box, std::string_view outcome, std::optional<int> status, int64_t elapsedMs,
    std::string_view detail, std::string_view output);

struct Tally {
    int boxes = 0;
    std::array<int, 4> of{}; // by BoxVerdict
    int operator[](BoxVerdict verdict) const { return of[static_cast<size_t>(verdict)]; }
    void add(BoxVerdict verdict) { ++of[static_cast<size_t>(verdict)]; }
};

// 0 every box correct; 1 some box answered otherwise; 2 some gave no answer (or was never started).
int fleetStatus(const Tally& tally);

// "12/48 done: 10 correct, 1 incorrect, 1 no answer, 32 s" (", N skipped" before the time when some were).
std::string summaryLine(const Tally& tally, int64_t seconds);

// "NAME OUTCOME CHANNEL-SEEN ELAPSED_MS": the channel in printable form with
// blanks as [20], "-" when none was seen, "" when an empty one was.
std::string plainLine(const BoxConfig& box, const BoxEnd& end);
std::string channelField(const std::optional<std::string>& channel);

// The last `count` non-empty lines of `output`, in printable form.
std::vector<std::string> lastLines(std::string_view output, size_t count);

// JUnit XML as GitLab and Jenkins read it, in three pieces so that each
// box's output is read only while its test case is written.
std::string junit_head(std::string_view suite, const Tally& tally, double seconds, std::string_view timestamp);
std::string junit_testCase(std::string_view suite, const BoxConfig& box, const BoxEnd& end, std::string_view output);
inline constexpr std::string_view JUNIT_TAIL = "  </testsuite>\n</testsuites>\n";

// The fleet's JSON result: the summary, then "results" with each box's object.
std::string result_head(
    std::string_view suite, const Tally& tally, int status, int64_t elapsedMs, std::optional<int> endedBySignal);
inline constexpr std::string_view RESULT_TAIL = "\n]}\n";

// The table a fleet shows on a terminal while its boxes are checked.
struct ViewRow {
    std::string name;
    std::string port;    // printable
    std::string state;   // "queued", "waiting 12 s" or the outcome word
    std::string channel; // the channel reported, printable, or empty
    bool pending = true; // still to decide, or decided otherwise than correct
};

// The lines for a window of `height` rows and `width` columns: a heading, the boxes, the summary.
// None as wide as the window, nor as many as its rows (drawing never scrolls). A taller rack shows
// the pending boxes first, and how many are not shown. The `final` drawing has the summary whole
// however narrow the window (it may wrap: nothing is drawn over it).
std::vector<std::string> liveView_lines(
    const std::vector<ViewRow>& rows, const std::string& summary, int height, int width, bool final = false);

// Replaces the `previous` lines drawn last (the cursor just below them) with `lines`.
std::string liveView_redraw(const std::vector<std::string>& lines, size_t previous);
